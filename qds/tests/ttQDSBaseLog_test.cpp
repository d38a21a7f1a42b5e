#include "qds/ttQDSBaseLog.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <bit>
#include <string>
#include <vector>

#include "testing/Sandbox.h"

namespace tarvo {
namespace {

using Lines = std::vector<std::string>;

std::string Le(std::uint64_t v, int bytes) {
  std::string s(static_cast<std::size_t>(bytes), '\0');
  for (int i = 0; i < bytes; ++i) s[static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i));
  return s;
}
std::string Str(const std::string& s) {
  return Le(s.size(), 4) + s;
}

// The summary form of a known entry, written out field by field.
std::string KnownSummary() {
  return Le(std::bit_cast<std::uint64_t>(45292.5), 8)  // local start time
         + Le(0x01020304, 4)                           // start tick
         + Le(0x05060708, 4)                           // download ended
         + Le(2, 1)                                    // passport granted
         + Le(1, 1)                                    // authentication request
         + Le(0xBEEF, 2)                               // statistics handle
         + Le(static_cast<std::uint32_t>(-5), 4)       // request status
         + Le(std::bit_cast<std::uint64_t>(0.25), 8)   // compression ratio
         + Str("TSecInfo") + Str("host/qds/x.json") + Str("Access Denied") + Str("Forbidden ✓") +
         Le(0x0A0B0C0D, 4)     // download started
         + Le(0x11121314, 4);  // parsing ended
}

TEST(LogSummary, LayoutByteForByte) {
  TQDSMemoryStream in(KnownSummary());
  TQDSLogEntry entry;
  ASSERT_TRUE(entry.LoadFromStream(in));
  EXPECT_EQ(in.Remaining(), 0u);
  EXPECT_EQ(entry.LocalStartTime(), 45292.5);
  EXPECT_EQ(entry.StartTime(), 0x01020304u);
  EXPECT_EQ(entry.DownloadEndedAt(), 0x05060708u);
  EXPECT_EQ(entry.TarvoPassport, TTarvoPassportReply::mprGranted);
  EXPECT_TRUE(entry.AuthRequest);
  EXPECT_EQ(entry.Handle, 0xBEEF);
  EXPECT_EQ(entry.RequestStatus, -5);
  EXPECT_EQ(entry.ComprK(), 0.25);
  EXPECT_EQ(entry.EntityClassName(), "TSecInfo");
  EXPECT_EQ(entry.InitialURL, "host/qds/x.json");
  EXPECT_EQ(entry.Msg, "Access Denied");
  EXPECT_EQ(entry.StatusMessage, "Forbidden ✓");
  EXPECT_EQ(entry.DownloadStartedAt, 0x0A0B0C0Du);
  EXPECT_EQ(entry.ParsingEndedAt, 0x11121314u);

  TQDSMemoryStream out;
  entry.SaveToStream(out);
  EXPECT_EQ(out.Bytes(), KnownSummary());
}

TEST(LogSummary, EveryTruncationAnswersFalse) {
  const std::string full = KnownSummary();
  for (std::size_t n = 0; n < full.size(); ++n) {
    SCOPED_TRACE(n);
    TQDSMemoryStream in(full.substr(0, n));
    TQDSLogEntry entry;
    EXPECT_FALSE(entry.LoadFromStream(in));
  }
  // A string whose count runs past the end, and an unknown passport ordinal.
  std::string badCount = full;
  badCount[35] = '\x7F';  // the high byte of the class name's count
  TQDSMemoryStream a(badCount);
  TQDSLogEntry entry;
  EXPECT_FALSE(entry.LoadFromStream(a));
  EXPECT_EQ(entry.StartTime(), 0x01020304u) << "fields before the failure keep their values";
  std::string badPassport = full;
  badPassport[16] = '\x09';
  TQDSMemoryStream b(badPassport);
  EXPECT_FALSE(TQDSLogEntry().LoadFromStream(b));
}

std::string Inflate(const std::string& packed, std::size_t size) {
  std::string out(size, '\0');
  uLongf length = size;
  EXPECT_EQ(uncompress(reinterpret_cast<Bytef*>(out.data()), &length,
                       reinterpret_cast<const Bytef*>(packed.data()), packed.size()),
            Z_OK);
  out.resize(length);
  return out;
}

TEST(LogEntry, CopiesTheRequestAndCompressesTheAnswer) {
  TQDSEntry source(7, "TCandles", TDataFlag::ldWeb, {TJobFlag::jfFirst, TJobFlag::jfInteractive});
  source.InitialURL = "host/qds/engines.json";
  source.InitialPort = 443;
  source.Secured = true;
  source.Method = TRequestMethod::mPost;
  source.Reason = "refresh";
  source.ETag = "\"e1\"";
  source.Handle = 3;
  source.RequestStatus = 200;
  source.Supported = false;
  source.SetPostBody(std::string_view("{\"q\":\"Сбер\"}"));
  std::string body;
  for (int i = 0; i < 100000; ++i) body += "[\"SBER\", " + std::to_string(i) + "],\n";
  source.Write(body.data(), body.size());

  const TQDSLogEntry log(&source);
  EXPECT_EQ(log.Session(), 7);
  EXPECT_EQ(log.DataFlag(), TDataFlag::ldUnknown);
  EXPECT_EQ(log.JobFlags(), source.JobFlags());
  EXPECT_EQ(log.EntityClassName(), "TCandles");
  EXPECT_EQ(log.StartTime(), source.StartTime());
  EXPECT_EQ(log.LogMethod(), TRequestMethod::mPost);
  EXPECT_EQ(log.Reason, "refresh");
  EXPECT_EQ(log.ETag, "\"e1\"");
  EXPECT_FALSE(log.Supported);
  EXPECT_EQ(log.GetFormattedURL(), "https://host:443/qds/engines.json");
  EXPECT_EQ(log.DataOut(), "{\"q\":\"Сбер\"}");

  ASSERT_NE(log.DataIn(), nullptr);
  EXPECT_EQ(log.Size(), static_cast<std::int64_t>(body.size()));
  const std::string& packed = log.DataIn()->Bytes();
  EXPECT_LT(packed.size(), body.size() / 4);
  EXPECT_EQ(static_cast<unsigned char>(packed[0]), 0x78);
  EXPECT_EQ(static_cast<unsigned char>(packed[1]), 0x01) << "zlib's fastest level";
  EXPECT_EQ(Inflate(packed, body.size()), body);
}

TEST(LogEntry, EmptyEntryAndAnsiSentBody) {
  const TQDSLogEntry empty;
  EXPECT_EQ(empty.EntityClassName(), "Log");
  EXPECT_EQ(empty.Session(), 0);
  EXPECT_EQ(empty.DataFlag(), TDataFlag::ldUnknown);
  EXPECT_TRUE(empty.JobFlags().Empty());
  EXPECT_EQ(empty.DataIn(), nullptr);

  testing::Sandbox box;
  box.SetEnv("TARVO_ANSI_CODEPAGE", "windows-1251");
  TQDSEntry source(1, "X", TDataFlag::ldWeb, {});
  source.SetPostBody(std::string_view("\xCF\xF0\xE8\xE2\xE5\xF2"));  // "Привет" in windows-1251
  EXPECT_EQ(TQDSLogEntry(&source).DataOut(), "Привет");
}

TEST(LogText, NothingSavedOrOnlyTheSentBody) {
  Lines lines;
  TQDSLogEntry().LoadText(lines);
  EXPECT_EQ(lines, Lines{"NO DATA SAVED"});

  TQDSEntry source(1, "X", TDataFlag::ldWeb, {});
  TQDSLogEntry(&source).LoadText(lines);
  EXPECT_EQ(lines, Lines{"NO DATA SAVED"})
      << "an empty answer compresses to 8 bytes: nothing saved";

  source.SetPostBody(std::string_view("{\"a\":1}"));
  TQDSLogEntry(&source).LoadText(lines);
  EXPECT_EQ(lines,
            (Lines{"Sent:", "{", "  \"a\":1", "}", std::string(54, '-'), "NO DATA RECEIVED"}));

  source.SetPostBody(std::string_view("plain=1&b=2"));
  TQDSLogEntry(&source).LoadText(lines);
  EXPECT_EQ(lines, (Lines{"Sent:", "plain=1&b=2", std::string(54, '-'), "NO DATA RECEIVED"}));
}

TEST(LogText, AnswerLinesAndTrailingJson) {
  TQDSEntry source(1, "X", TDataFlag::ldWeb, {});
  source.SetPostBody(std::string_view("x=1"));
  const std::string body = "HTTP/1.1 200 OK\r\nServer: q\n{\"b\":[1,2]}";
  source.Write(body.data(), body.size());
  Lines lines;
  TQDSLogEntry(&source).LoadText(lines);
  EXPECT_EQ(lines, (Lines{"Sent:", "x=1", std::string(54, '-'), "Received:", "HTTP/1.1 200 OK",
                          "Server: q", "{", "  \"b\":[", "    1,", "    2", "  ]", "}"}));
}

TEST(LogText, AnsiAnswer) {
  testing::Sandbox box;
  box.SetEnv("TARVO_ANSI_CODEPAGE", "windows-1251");
  TQDSEntry source(1, "X", TDataFlag::ldWeb, {});
  const std::string body =
      "\xCE\xF8\xE8\xE1\xEA\xE0 \xF1\xE5\xF0\xE2\xE8\xF1\xE0";  // "Ошибка сервиса"
  source.Write(body.data(), body.size());
  Lines lines;
  TQDSLogEntry(&source).LoadText(lines);
  EXPECT_EQ(lines, (Lines{"Ошибка сервиса"}));
}

// An entry whose saved answer is damaged after the fact.
struct DamagedEntry : TQDSLogEntry {
  DamagedEntry(const TQDSEntry* source, std::string packed, std::int64_t size)
      : TQDSLogEntry(source) {
    if (!packed.empty()) fDataIn = std::make_unique<TQDSMemoryStream>(std::move(packed));
    fSize = size;
  }
};

TEST(LogText, DamagedAnswersShowInvalidData) {
  TQDSEntry source(1, "X", TDataFlag::ldWeb, {});
  std::string body(1000, '\0');
  std::uint32_t seed = 12345;
  for (char& c : body) c = static_cast<char>('a' + (seed = seed * 1103515245 + 12345) % 26);
  source.Write(body.data(), body.size());
  const std::string good = TQDSLogEntry(&source).DataIn()->Bytes();
  struct Case {
    const char* what;
    std::string packed;
    std::int64_t size;
  };
  const Case cases[] = {
      {"not zlib", "this is not a zlib stream", 1000},
      {"cut short", good.substr(0, good.size() / 2), 1000},
      {"size larger than the answer", good, 5000},
      {"size of an exabyte", good, std::int64_t{1} << 60},
      {"negative size", good, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Lines lines;
    DamagedEntry(&source, c.packed, c.size).LoadText(lines);
    EXPECT_EQ(lines, Lines{"INVALID DATA"});
  }
}

// Body deflated with zlib framing chosen by windowBits, as a server sends it.
std::string Pack(const std::string& body, int windowBits) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, body.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
  z.avail_in = static_cast<uInt>(body.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

TEST(LogText, AnswersKeptAsTheyCameReadLikeCompressedOnes) {
  TQDSEntry source(4, "TSecurities", TDataFlag::ldWeb, {});
  source.Reason = "refresh";
  const std::string body = "X-Line: 1\n{\"a\":[1,2],\"b\":\"Сбер\"}";
  source.Write(body.data(), body.size());
  Lines expected;
  TQDSLogEntry(&source).LoadText(expected);
  ASSERT_EQ(expected.front(), "X-Line: 1");

  struct Case {
    const char* what;
    int windowBits;
    TQDSPackedForm form;
    bool readable;
  } cases[] = {
      {"gzip", 16 + MAX_WBITS, TQDSPackedForm::pfGzip, true},
      {"zlib", MAX_WBITS, TQDSPackedForm::pfZlib, true},
      {"raw deflate", -MAX_WBITS, TQDSPackedForm::pfRawDeflate, true},
      {"gzip taken for raw deflate", 16 + MAX_WBITS, TQDSPackedForm::pfRawDeflate, false},
      {"raw deflate taken for zlib", -MAX_WBITS, TQDSPackedForm::pfZlib, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string packed = Pack(body, c.windowBits);
    const TQDSLogEntry log(source, packed, c.form);
    EXPECT_EQ(log.Session(), 4);
    EXPECT_EQ(log.Reason, "refresh");
    EXPECT_EQ(log.Size(), static_cast<std::int64_t>(body.size()));
    EXPECT_EQ(log.DataIn()->Bytes(), packed);
    EXPECT_EQ(log.DataInForm(), c.form);
    Lines lines;
    log.LoadText(lines);
    EXPECT_EQ(lines, c.readable ? expected : Lines{"INVALID DATA"});
  }
}

// An empty zlib stream that a server flushed before finishing: 13 bytes.
std::string EmptyFlushedZlib() {
  z_stream z{};
  EXPECT_EQ(deflateInit(&z, 6), Z_OK);
  std::string out(64, '\0');
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_SYNC_FLUSH), Z_OK);
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  EXPECT_GT(out.size(), 8u);
  return out;
}

TEST(LogText, ShortEmptyAndMultiMemberAnswersKeptAsTheyCame) {
  // The log's own form tells an empty answer by its 8 bytes; kept forms are
  // shorter (raw "{}" is 4 bytes) or longer (an empty gzip member is 20).
  struct Case {
    const char* what;
    std::string body;
    std::string packed;
    TQDSPackedForm form;
  } cases[] = {
      {"{} as raw deflate", "{}", Pack("{}", -MAX_WBITS), TQDSPackedForm::pfRawDeflate},
      {"empty gzip", "", Pack("", 16 + MAX_WBITS), TQDSPackedForm::pfGzip},
      {"empty zlib with a flush", "", EmptyFlushedZlib(), TQDSPackedForm::pfZlib},
      {"two gzip members", "{\"a\":1,\"b\":2}",
       Pack("{\"a\":1,", 16 + MAX_WBITS) + Pack("\"b\":2}", 16 + MAX_WBITS),
       TQDSPackedForm::pfGzip},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TQDSEntry source(1, "X", TDataFlag::ldWeb, {});
    source.Write(c.body.data(), c.body.size());
    Lines expected, lines;
    TQDSLogEntry(&source).LoadText(expected);
    TQDSLogEntry(source, c.packed, c.form).LoadText(lines);
    EXPECT_EQ(lines, expected);
  }
}

TEST(LogEntry, KeepsOnlyItsCompressedBytes) {
  TQDSEntry source(1, "X", TDataFlag::ldWeb, {});
  const std::string body(1 << 20, 'a');
  source.Write(body.data(), body.size());
  const TQDSLogEntry log(&source);
  EXPECT_LT(log.DataIn()->Bytes().capacity(), 2 * log.DataIn()->Bytes().size() + 64);

  std::string wire = Pack(body, 16 + MAX_WBITS);
  wire.reserve(1 << 20);  // as a received body carries its buffer's growth room
  const TQDSLogEntry kept(source, std::move(wire), TQDSPackedForm::pfGzip);
  EXPECT_LT(kept.DataIn()->Bytes().capacity(), 2 * kept.DataIn()->Bytes().size() + 64);
}

TEST(JsonLayout, TheWorkedExampleAndStrings) {
  Lines lines;
  LayoutJSONText(R"({"a":1,"b":[1,2]})", lines);
  EXPECT_EQ(lines, (Lines{"{", "  \"a\":1,", "  \"b\":[", "    1,", "    2", "  ]", "}"}));

  lines.clear();
  LayoutJSONText(R"({"a":"[,{]}","c":{}},x)", lines);
  EXPECT_EQ(lines, (Lines{"{", "  \"a\":\"[,{]}\",", "  \"c\":{", "  }", "},", "x"}));

  lines.clear();
  LayoutJSONText("}stray]", lines);
  EXPECT_EQ(lines, Lines{"}stray]"}) << "nothing is lost at the outermost level";
}

TEST(JsonLayout, DeepNestingNeitherOverflowsNorGrowsWithoutBound) {
  const std::size_t depth = 200000;
  const std::string text = std::string(depth, '[') + std::string(depth, ']');
  Lines lines;
  LayoutJSONText(text, lines);
  EXPECT_EQ(lines.size(), 2 * depth);
  std::size_t widest = 0;
  for (const std::string& l : lines) widest = std::max(widest, l.size());
  EXPECT_LE(widest, 2u * 64 + 1);
}

TEST(FormattedURL, SchemeAndPort) {
  struct Case {
    const char* url;
    int port;
    bool secured;
    const char* expected;
  };
  const Case cases[] = {
      {"host/qds/engines.json", 80, false, "http://host:80/qds/engines.json"},
      {"  host/p?x=1  ", 443, true, "https://host:443/p?x=1"},
      {"host", 8080, false, "http://host:8080"},
      {"HTTPS://host/p", 443, false, "HTTPS://host:443/p"},
      {"http://host:81/p", 81, false, "http://host:81:81/p"},
  };
  for (const Case& c : cases) {
    TQDSBaseEntry e;
    e.InitialURL = c.url;
    e.InitialPort = c.port;
    e.Secured = c.secured;
    EXPECT_EQ(e.GetFormattedURL(), c.expected) << c.url;
  }
}

std::string FailureText(const std::string& body) {
  TQDSEntry e(0, "X", TDataFlag::ldWeb, {});
  e.Write(body.data(), body.size());
  return e.AccumulatorAsString();
}

TEST(FailureText, PlainXmlAndHtmlPages) {
  EXPECT_EQ(FailureText(""), "");
  EXPECT_EQ(FailureText("Service unavailable\nretry"), "Service unavailable\nretry");
  EXPECT_EQ(
      FailureText("<html><body><H1>502 Bad\nGateway</H1><p>Try <b>later</b></p></body></html>"),
      "502 Bad\r\nGateway\r\nTry\r\nlater");
  EXPECT_EQ(FailureText("<error>\r\n  <message>Quota\r\nexceeded</message>\n</error>"),
            "Quota\r\nexceeded");
  EXPECT_EQ(FailureText("<a>\n<!-- nothing -->\n</a>"), "<a>\r\n<!-- nothing -->\r\n</a>");
  EXPECT_EQ(FailureText("<!DOCTYPE html><html><head><TITLE>Gateway Timeout</TITLE><br></head>"),
            "Gateway Timeout");
  EXPECT_EQ(FailureText("<html><br>no title here"), "<html><br>no title here");
  EXPECT_EQ(FailureText("<html><title>unclosed"), "<html><title>unclosed");
}

TEST(FailureText, DeeplyNestedPagesAreSafe) {
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  deep += "x";
  for (int i = 0; i < 100000; ++i) deep += "</a>";
  EXPECT_EQ(FailureText(deep), "x");
  EXPECT_EQ(FailureText("<h1>" + deep + "</h1>"), "x");
}

TEST(EntryBody, CopyFromInPiecesAndAShortSource) {
  std::string bytes(2500000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  TQDSMemoryStream source(bytes);
  TQDSEntry e(0, "X", TDataFlag::ldWeb, {});
  EXPECT_EQ(e.CopyFrom(source, bytes.size()), bytes.size());
  EXPECT_EQ(e.Accumulator().Bytes(), bytes);

  TQDSMemoryStream shortSource("abc");
  TQDSEntry f(0, "X", TDataFlag::ldWeb, {});
  EXPECT_THROW(f.CopyFrom(shortSource, 10), EQDSException);
  EXPECT_EQ(f.Accumulator().Bytes(), "abc") << "what arrived is kept";
}

}  // namespace
}  // namespace tarvo
