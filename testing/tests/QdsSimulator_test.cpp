// The market-data service simulator, seen through a plain client (the
// platform's HTTP layer, platform/net/Inet.h) and the client's own document parser.
#include "testing/QdsSimulator.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/Errors.h"
#include "platform/core/Text.h"
#include "platform/net/Inet.h"
#include "platform/system/Process.h"
#include "qds/ttQDSData.h"
#include "qds/ttQDSJson.h"
#include "testing/HttpServerThread.h"
#include "testing/RawClient.h"
#include "testing/Sandbox.h"

namespace tarvo::testing {
namespace {

using namespace std::chrono_literals;
namespace pf = tarvo::platform;

// One exchange through the platform's HTTP layer, body read raw (no decoding).
struct Fetched {
  bool sent = false;
  std::uint32_t sendError = 0;
  int status = 0;
  std::string rawHeaders;
  std::string body;
  bool readOk = false;
  std::uint32_t readError = 0;

  // The first answer header of that name ("" when absent) and whether it is there.
  std::string Header(const std::string& name) const {
    const std::string lines = "\r\n" + rawHeaders;
    std::size_t pos = 0;
    while ((pos = lines.find("\r\n", pos)) != std::string::npos) {
      pos += 2;
      const std::size_t colon = lines.find(':', pos);
      const std::size_t end = lines.find("\r\n", pos);
      if (colon == std::string::npos || colon > end) continue;
      if (pf::SameTextAscii(lines.substr(pos, colon - pos), name))
        return pf::Trim(lines.substr(colon + 1, end - colon - 1));
    }
    return {};
  }
  bool Has(const std::string& name) const {
    return rawHeaders.find("\r\n" + name + ":") != std::string::npos ||
           rawHeaders.find("\r\n" + name + ": ") != std::string::npos;
  }
};

struct Target {
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;
  bool tls = false;
};

Fetched Fetch(const Target& target, const std::string& path, const std::string& headers = {},
              const std::string& method = "GET", const std::string& body = {},
              std::uint32_t receiveTimeoutMs = 10000) {
  Fetched f;
  pf::HINTERNET inet = pf::InternetOpen("qdssim-test", pf::INTERNET_OPEN_TYPE_DIRECT, {}, {}, 0);
  pf::HINTERNET conn =
      pf::InternetConnect(inet, target.host, target.port, {}, {}, pf::INTERNET_SERVICE_HTTP, 0, 0);
  pf::HINTERNET req = pf::HttpOpenRequest(
      conn, method, path, "", "", nullptr,
      // The layer keeps cookies between requests unless told not to; each
      // exchange here sends exactly its own headers.
      pf::INTERNET_FLAG_NO_COOKIES | (target.tls ? std::uint32_t{pf::INTERNET_FLAG_SECURE} : 0u),
      0);
  pf::InternetSetOption(req, pf::INTERNET_OPTION_RECEIVE_TIMEOUT, &receiveTimeoutMs, 4);
  f.sent = pf::HttpSendRequest(req, headers, body.data(), body.size());
  if (!f.sent) {
    f.sendError = pf::GetLastError();
  } else {
    std::uint32_t status = 0, len = 4;
    pf::HttpQueryInfo(req, pf::HTTP_QUERY_STATUS_CODE | pf::HTTP_QUERY_FLAG_NUMBER, &status, len,
                      nullptr);
    f.status = static_cast<int>(status);
    std::string raw(16384, '\0');
    std::uint32_t rawLen = static_cast<std::uint32_t>(raw.size());
    if (pf::HttpQueryInfo(req, pf::HTTP_QUERY_RAW_HEADERS_CRLF, raw.data(), rawLen, nullptr))
      f.rawHeaders = raw.substr(0, rawLen);
    char buf[8192];
    for (;;) {
      std::uint32_t n = 0;
      if (!pf::InternetReadFile(req, buf, sizeof buf, n)) {
        f.readError = pf::GetLastError();
        break;
      }
      if (n == 0) {
        f.readOk = true;
        break;
      }
      f.body.append(buf, n);
    }
  }
  pf::InternetCloseHandle(req);
  pf::InternetCloseHandle(conn);
  pf::InternetCloseHandle(inet);
  return f;
}

// Inflates gzip (windowBits 15 + 16), zlib (15) or raw deflate (-15); nullopt
// when the stream is corrupt or ends early.
std::optional<std::string> Inflate(const std::string& in, int windowBits) {
  z_stream zs{};
  if (inflateInit2(&zs, windowBits) != Z_OK) return std::nullopt;
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  zs.avail_in = static_cast<uInt>(in.size());
  std::string out;
  int rc = Z_OK;
  char buf[16384];
  while (rc == Z_OK) {
    zs.next_out = reinterpret_cast<Bytef*>(buf);
    zs.avail_out = sizeof buf;
    rc = inflate(&zs, Z_NO_FLUSH);
    out.append(buf, sizeof buf - zs.avail_out);
    if (rc == Z_BUF_ERROR && zs.avail_in == 0) break;
  }
  inflateEnd(&zs);
  if (rc != Z_STREAM_END) return std::nullopt;
  return out;
}

// A GET over a bare socket, to tell how the server ended the connection.
RawClient::Received RawGet(std::uint16_t port, const std::string& path) {
  RawClient client(port, 5s);
  if (!client.Send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"))
    return {};
  return client.ReadToEnd();
}

class QdsSimulatorTest : public ::testing::Test {
 protected:
  ProxyEnvironmentCleared noProxy;
  QdsSimulator sim;
  Target data{"127.0.0.1", sim.Port(), false};
  const std::string index = "/qds/index.json";
};

// --- documents -------------------------------------------------------------------------------

TEST_F(QdsSimulatorTest, EveryFixtureIsServedAndParsesAsBlocksOfRows) {
  const auto paths = sim.DocumentPaths();
  ASSERT_GE(paths.size(), 4u);
  ASSERT_NE(std::find(paths.begin(), paths.end(), index), paths.end());
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    const Fetched f = Fetch(data, path + "?qds.version=1&qds.meta=on&lang=en");
    ASSERT_TRUE(f.sent && f.readOk);
    EXPECT_EQ(f.status, 200);
    EXPECT_EQ(f.body, *sim.Document(path));
    const IDocKeeperPtr doc = LoadDocumentFromString(nullptr, f.body, "");
    ASSERT_TRUE(doc);
    EXPECT_TRUE(doc->getValid());
    const TJsonValue root = doc->getJSON()->Root();
    ASSERT_TRUE(root.IsObject());
    ASSERT_GE(root.MemberCount(), 1u);
    for (std::size_t i = 0; i < root.MemberCount(); ++i) {
      const std::string block(root.MemberName(i));
      SCOPED_TRACE(block);
      // The same block through a keeper that names it, and into a row table.
      const IDocKeeperPtr named = LoadDocumentFromString(nullptr, f.body, block);
      ASSERT_TRUE(named->getBlock0Rows().IsArray());
      ASSERT_GE(named->getBlock0Rows().Size(), 1u);
      std::unique_ptr<TStructuredChunk> chunk;
      ASSERT_TRUE(TStructuredChunk::LoadFromJSON(nullptr, chunk, named->getBlock0(), true));
      EXPECT_EQ(chunk->GetRowCount(), named->getBlock0Rows().Size());
      EXPECT_EQ(named->getBlock0Cols().Size(), chunk->Mapping().size());
    }
  }
}

TEST_F(QdsSimulatorTest, IndexCarriesTheStructureBlocks) {
  const IDocKeeperPtr doc = LoadDocumentFromString(nullptr, Fetch(data, index).body, "markets");
  for (const char* block : {"engines", "markets", "boards", "boardgroups", "durations"})
    EXPECT_TRUE(doc->getJSON()->Root().Member(block).IsObject()) << block;
  std::unique_ptr<TStructuredChunk> markets;
  ASSERT_TRUE(TStructuredChunk::LoadFromJSON(nullptr, markets, doc->getBlock0(), true));
  EXPECT_EQ(markets->GetRowCount(), 20u);
  const auto shares = markets->Find("market_name", TQDSVariant(std::string("shares")));
  ASSERT_TRUE(shares);
  EXPECT_EQ(VarToStr(markets->Value(*shares, markets->FindColumn("trade_engine_name"))), "stock");
}

TEST_F(QdsSimulatorTest, UnknownPathAnswers404AndSetDocumentServesNewText) {
  EXPECT_EQ(Fetch(data, "/qds/securities/NOPE.json").status, 404);
  sim.SetDocument("/qds/securities/NEW.json", R"({"x":{"metadata":{},"columns":[],"data":[]}})");
  const Fetched f = Fetch(data, "/qds/securities/NEW.json");
  EXPECT_EQ(f.status, 200);
  EXPECT_EQ(f.body, R"({"x":{"metadata":{},"columns":[],"data":[]}})");
  EXPECT_TRUE(sim.RemoveDocument("/qds/securities/NEW.json"));
  EXPECT_EQ(Fetch(data, "/qds/securities/NEW.json").status, 404);
}

TEST_F(QdsSimulatorTest, DocumentSourcesAnswerByQueryWithTheSameRules) {
  sim.SetDocumentSource(
      "/qds/engines/", [](const RecordedRequest& r) -> std::optional<std::string> {
        if (r.path.find("/candles.json") == std::string::npos) return std::nullopt;
        const std::size_t at = r.target.find("start=");
        const std::string start = at == std::string::npos ? "0" : r.target.substr(at + 6);
        return R"({"candles":{"metadata":{"n":{"type":"int32"}},"columns":["n"],"data":[[)" +
               start + "]]}}";
      });
  const std::string candles =
      "/qds/engines/stock/markets/shares/boards/TQBR/securities/SBER/candles.json";
  const Fetched page0 = Fetch(data, candles);
  const Fetched page2 = Fetch(data, candles + "?start=500", "Accept-Encoding: gzip");
  ASSERT_EQ(page0.status, 200);
  EXPECT_NE(page0.body.find("[[0]]"), std::string::npos);
  EXPECT_EQ(page2.Header("Content-Encoding"), "gzip");
  EXPECT_NE(Inflate(page2.body, 15 + 16).value_or("").find("[[500]]"), std::string::npos);
  EXPECT_NE(page0.Header("ETag"), page2.Header("ETag"));
  EXPECT_EQ(Fetch(data, candles, "If-None-Match: " + page0.Header("ETag")).status, 304);
  EXPECT_EQ(Fetch(data, candles + "?start=1", "If-None-Match: " + page0.Header("ETag")).status,
            200);
  // Stored documents win; what the source refuses is not found.
  EXPECT_EQ(
      Fetch(data,
            "/qds/engines/stock/markets/shares/boardgroups/57/securities/SBER/candleborders.json")
          .status,
      200);
  EXPECT_EQ(Fetch(data, "/qds/engines/other.json").status, 404);
  sim.SetFault(candles, {QdsFault::Unavailable, 1});
  EXPECT_EQ(Fetch(data, candles).status, 503);
  sim.SetDocumentSource("/qds/engines/", nullptr);
  EXPECT_EQ(Fetch(data, candles).status, 404);
}

// --- answer headers ---------------------------------------------------------------------------

TEST_F(QdsSimulatorTest, AnswersCarryTheServiceHeaders) {
  const auto validators = *sim.DocumentValidators(index);
  const Fetched f = Fetch(data, index);
  ASSERT_EQ(f.status, 200);
  const auto date = ParseHttpDate(f.Header("Date"));
  ASSERT_TRUE(date) << f.Header("Date");
  EXPECT_LE(std::llabs(*date - static_cast<std::int64_t>(std::time(nullptr))), 5);
  EXPECT_EQ(f.Header("ETag"), validators.etag);
  EXPECT_EQ(f.Header("Last-Modified"), validators.lastModified);
  EXPECT_EQ(f.Header("Cache-Control"), "no-cache");
  EXPECT_EQ(f.Header("X-Tarvo-Balancer"), "qds-sim-1");
  EXPECT_EQ(f.Header("X-Tarvo-QDS-Query-Version"), "1");
  EXPECT_EQ(f.Header("X-Tarvo-QDS-Statement-Version"), "1");
  EXPECT_FALSE(f.Has("X-TarvoPassport-Marker"));

  sim.SetVersions("2a", "");
  sim.SetBalancer("node-7");
  sim.SetCacheControl("max-age=60");
  const Fetched g = Fetch(data, index);
  EXPECT_EQ(g.Header("X-Tarvo-QDS-Query-Version"), "2a");
  EXPECT_FALSE(g.Has("X-Tarvo-QDS-Statement-Version"));
  EXPECT_EQ(g.Header("X-Tarvo-Balancer"), "node-7");
  EXPECT_EQ(g.Header("Cache-Control"), "max-age=60");
  // Error answers carry the date too.
  EXPECT_TRUE(ParseHttpDate(Fetch(data, "/nothing").Header("Date")));

  // Headers a test wants broken or gone.
  sim.OverrideHeader("date", std::nullopt);
  sim.OverrideHeader("ETag", "not-quoted");
  const Fetched h = Fetch(data, index);
  EXPECT_EQ(h.status, 200);
  EXPECT_FALSE(h.Has("Date"));
  EXPECT_EQ(h.Header("ETag"), "not-quoted");
  sim.OverrideHeader("Date", "yesterday");
  EXPECT_EQ(Fetch(data, "/nothing").Header("Date"), "yesterday");
  EXPECT_THROW(sim.OverrideHeader("Content-Length", "1"), std::invalid_argument);
  sim.ClearHeaderOverrides();
  EXPECT_TRUE(ParseHttpDate(Fetch(data, index).Header("Date")));
}

TEST(QdsHttpDate, FormatsAndParsesImfFixdate) {
  EXPECT_EQ(HttpDate(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(HttpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(ParseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT"), 784111777);
  for (const char* bad : {"", "Sunday, 06-Nov-94 08:49:37 GMT", "Sun Nov  6 08:49:37 1994",
                          "Sun, 31 Feb 1994 08:49:37 GMT", "Sun, 06 Nov 1994 25:49:37 GMT"})
    EXPECT_FALSE(ParseHttpDate(bad)) << bad;
}

TEST_F(QdsSimulatorTest, MatchingValidatorsAnswer304) {
  const auto v = *sim.DocumentValidators(index);
  const std::string earlier = HttpDate(*ParseHttpDate(v.lastModified) - 10);
  struct Case {
    const char* name;
    std::string headers;
    int status;
  };
  const std::vector<Case> cases = {
      {"etag", "If-None-Match: " + v.etag, 304},
      {"etag in a list", "If-None-Match: \"other\", " + v.etag, 304},
      {"weak etag", "If-None-Match: W/" + v.etag, 304},
      {"star", "If-None-Match: *", 304},
      {"other etag", "If-None-Match: \"other\"", 200},
      {"same date", "If-Modified-Since: " + v.lastModified, 304},
      {"earlier date", "If-Modified-Since: " + earlier, 200},
      {"unreadable date", "If-Modified-Since: yesterday", 200},
      // An entity tag that does not match decides, whatever the date says.
      {"other etag, same date", "If-None-Match: \"other\"\r\nIf-Modified-Since: " + v.lastModified,
       200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Fetched f = Fetch(data, index, c.headers);
    EXPECT_EQ(f.status, c.status);
    EXPECT_EQ(f.Header("ETag"), v.etag);
    EXPECT_EQ(f.Header("Last-Modified"), v.lastModified);
    EXPECT_TRUE(f.Has("Date") && f.Has("X-Tarvo-Balancer"));
    if (c.status == 304) {
      EXPECT_EQ(f.body, "");
    }
  }
}

TEST_F(QdsSimulatorTest, ChangingADocumentMakesOldValidatorsStale) {
  const auto before = *sim.DocumentValidators(index);
  sim.SetDocument(index, *sim.Document(index) + " ");
  const auto after = *sim.DocumentValidators(index);
  EXPECT_NE(after.etag, before.etag);
  EXPECT_GT(*ParseHttpDate(after.lastModified), *ParseHttpDate(before.lastModified));
  for (const std::string& h :
       {"If-None-Match: " + before.etag, "If-Modified-Since: " + before.lastModified}) {
    const Fetched f = Fetch(data, index, h);
    EXPECT_EQ(f.status, 200) << h;
    EXPECT_EQ(f.body, *sim.Document(index));
    EXPECT_EQ(f.Header("ETag"), after.etag);
  }
  EXPECT_EQ(Fetch(data, index, "If-None-Match: " + after.etag).status, 304);
}

// --- encodings ---------------------------------------------------------------------------------

TEST_F(QdsSimulatorTest, BodiesAreEncodedAsTheRequestAccepts) {
  struct Case {
    QdsEncoding mode;
    const char* accept;  // nullptr: no header
    const char* encoding;
    int windowBits;  // 0: identity
  };
  const Case cases[] = {
      {QdsEncoding::Auto, "gzip,deflate", "gzip", 15 + 16},
      {QdsEncoding::Auto, "deflate", "deflate", 15},
      {QdsEncoding::Auto, "gzip;q=0, deflate", "deflate", 15},
      {QdsEncoding::Auto, nullptr, "", 0},
      {QdsEncoding::Auto, "identity", "", 0},
      {QdsEncoding::Identity, "gzip,deflate", "", 0},
      {QdsEncoding::Gzip, "deflate", "", 0},
      {QdsEncoding::Deflate, "gzip,deflate", "deflate", 15},
      {QdsEncoding::RawDeflate, "gzip, deflate", "deflate", -15},
      {QdsEncoding::Deflate, "gzip", "", 0},
  };
  const std::string original = *sim.Document(index);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.accept ? c.accept : "(none)") + " mode " +
                 std::to_string(static_cast<int>(c.mode)));
    sim.SetEncoding(c.mode);
    const Fetched f =
        Fetch(data, index, c.accept ? std::string("Accept-Encoding: ") + c.accept : "");
    ASSERT_TRUE(f.readOk);
    EXPECT_EQ(f.Header("Content-Encoding"), c.encoding);
    if (c.windowBits == 0) {
      EXPECT_EQ(f.body, original);
    } else {
      EXPECT_NE(f.body, original);
      EXPECT_EQ(Inflate(f.body, c.windowBits), original);
    }
    EXPECT_EQ(sim.Requests().back().contentEncoding, c.encoding);
  }
  // Raw deflate is no zlib stream: a client that expects the wrapper fails on it.
  sim.SetEncoding(QdsEncoding::RawDeflate);
  EXPECT_FALSE(Inflate(Fetch(data, index, "Accept-Encoding: deflate").body, 15));
}

// --- passport ----------------------------------------------------------------------------------

std::string BasicHeader(const std::string& pair) {
  static constexpr char k[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < pair.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(pair[i]) << 16) |
                       (static_cast<unsigned char>(pair[i + 1]) << 8) |
                       static_cast<unsigned char>(pair[i + 2]);
    out += {k[v >> 18], k[(v >> 12) & 63], k[(v >> 6) & 63], k[v & 63]};
  }
  if (i < pair.size()) {
    unsigned v = static_cast<unsigned char>(pair[i]) << 16;
    if (i + 1 < pair.size()) v |= static_cast<unsigned char>(pair[i + 1]) << 8;
    out += {k[v >> 18], k[(v >> 12) & 63], i + 1 < pair.size() ? k[(v >> 6) & 63] : '=', '='};
  }
  return "Authorization: Basic " + out;
}

// The cookie value of a Set-Cookie header "TarvoPassport=<token>; path=/".
std::string PassportToken(const Fetched& f) {
  const std::string set = f.Header("Set-Cookie");
  const std::string prefix = std::string(QdsSimulator::PassportCookie) + "=";
  if (set.rfind(prefix, 0) != 0) return {};
  return set.substr(prefix.size(), set.find(';') - prefix.size());
}

TEST_F(QdsSimulatorTest, PassportChallengesGrantsAndDeniesUnderItsRealName) {
  TrustTestAuthority trust;
  sim.MapPassportHost();
  EXPECT_EQ(sim.PassportAddress(), "secure.tarvo.example/authenticate");
  const Target passport{"secure.tarvo.example", 443, true};

  const Fetched none = Fetch(passport, "/authenticate");
  ASSERT_TRUE(none.sent) << none.sendError;
  EXPECT_EQ(none.status, 401);
  EXPECT_EQ(none.Header("WWW-Authenticate").rfind("Basic realm=", 0), 0u);
  EXPECT_FALSE(none.Has("Set-Cookie"));

  const Fetched bad = Fetch(passport, "/authenticate", BasicHeader("trader:wrong"));
  EXPECT_EQ(bad.status, 401);
  EXPECT_EQ(bad.Header("WWW-Authenticate").rfind("Basic realm=", 0), 0u);
  EXPECT_EQ(bad.Header("X-TarvoPassport-Marker"), "denied");
  EXPECT_FALSE(bad.Has("Set-Cookie"));
  EXPECT_EQ(sim.PassportsGranted(), 0u);

  const Fetched good = Fetch(passport, "/authenticate", BasicHeader("trader:secret"));
  EXPECT_EQ(good.status, 200);
  EXPECT_EQ(good.Header("X-TarvoPassport-Marker"), "granted");
  const std::string token = PassportToken(good);
  ASSERT_FALSE(token.empty()) << good.rawHeaders;
  EXPECT_EQ(sim.PassportsGranted(), 1u);

  // The marker of data answers follows the cookie.
  const std::string cookie = "Cookie: a=1; TarvoPassport=" + token;
  EXPECT_EQ(Fetch(data, index, cookie).Header("X-TarvoPassport-Marker"), "granted");
  EXPECT_EQ(Fetch(data, index, "Cookie: TarvoPassport=forged").Header("X-TarvoPassport-Marker"),
            "denied");
  sim.RevokePassports();
  EXPECT_EQ(Fetch(data, index, cookie).Header("X-TarvoPassport-Marker"), "denied");

  // New credentials: the old ones are refused.
  sim.SetCredentials("other", "pw:with colon");
  EXPECT_EQ(Fetch(passport, "/authenticate", BasicHeader("trader:secret")).status, 401);
  EXPECT_EQ(Fetch(passport, "/authenticate", BasicHeader("other:pw:with colon")).status, 200);

  const auto recorded = sim.Requests("/authenticate");
  ASSERT_EQ(recorded.size(), 5u);
  for (const auto& r : recorded) EXPECT_TRUE(r.passport);
  EXPECT_EQ(recorded[0].status, 401);
  EXPECT_EQ(recorded[2].status, 200);
}

TEST_F(QdsSimulatorTest, RequiredPassportRefusesDataWithoutAValidCookie) {
  sim.SetRequirePassport(true);
  EXPECT_EQ(Fetch(data, index).status, 401);
  EXPECT_FALSE(Fetch(data, index).Has("WWW-Authenticate"));
  EXPECT_EQ(Fetch(data, index, "Cookie: TarvoPassport=forged").status, 401);
  TrustTestAuthority trust;  // the certificate names 127.0.0.1 too
  const Fetched good =
      Fetch({"127.0.0.1", sim.PassportPort(), true}, "/authenticate", BasicHeader("trader:secret"));
  ASSERT_EQ(good.status, 200);
  EXPECT_EQ(Fetch(data, index, "Cookie: TarvoPassport=" + PassportToken(good)).status, 200);
}

// --- faults ------------------------------------------------------------------------------------

TEST_F(QdsSimulatorTest, EachScriptedFaultAnswersAsDocumented) {
  const std::string doc = *sim.Document(index);
  struct Case {
    QdsFault fault;
    int status;
    std::function<void(const Fetched&)> check;
  };
  const std::vector<Case> cases = {
      {QdsFault::BadRequest, 400, [](const Fetched& f) { EXPECT_EQ(f.body, "boom"); }},
      {QdsFault::Unauthorized, 401,
       [](const Fetched& f) {
         EXPECT_EQ(f.body, "boom");
         EXPECT_FALSE(f.Has("WWW-Authenticate"));
       }},
      {QdsFault::ForbiddenHtml, 403,
       [](const Fetched& f) {
         EXPECT_EQ(f.Header("Content-Type").rfind("text/html", 0), 0u);
         EXPECT_NE(f.body.find("<h1>boom</h1>"), std::string::npos);
         EXPECT_EQ(f.body.rfind("<html>", 0), 0u);
       }},
      {QdsFault::NotFound, 404, [](const Fetched& f) { EXPECT_EQ(f.body, "boom"); }},
      {QdsFault::ServerErrorTitle, 500,
       [](const Fetched& f) {
         EXPECT_NE(f.body.find("<title>boom</title>"), std::string::npos);
         EXPECT_NE(f.body.find("<hr><p>"), std::string::npos);  // not well-formed
       }},
      {QdsFault::Unavailable, 503,
       [](const Fetched& f) { EXPECT_EQ(f.Header("Retry-After"), "1"); }},
      {QdsFault::ErrorDocument, 200,
       [](const Fetched& f) {
         auto keeper = std::static_pointer_cast<TDocKeeper>(
             LoadDocumentFromString(nullptr, f.body, "engines"));
         EXPECT_FALSE(keeper->getValid());
         EXPECT_EQ(keeper->LastUpstreamError(), "boom");
       }},
      {QdsFault::Empty200, 200,
       [](const Fetched& f) {
         EXPECT_EQ(f.body, "");
         EXPECT_EQ(f.Header("Content-Length"), "0");
       }},
      {QdsFault::NoContent, 204,
       [](const Fetched& f) {
         EXPECT_EQ(f.body, "");
         EXPECT_FALSE(f.Has("Content-Encoding"));
       }},
      {QdsFault::MalformedJson, 200,
       [&](const Fetched& f) {
         EXPECT_FALSE(f.body.empty());
         EXPECT_EQ(doc.rfind(f.body, 0), 0u);
         EXPECT_THROW(LoadDocumentFromString(nullptr, f.body, "engines"), EQDSJsonError);
       }},
      {QdsFault::TruncatedGzip, 200,
       [&](const Fetched& f) {
         EXPECT_EQ(f.Header("Content-Encoding"), "gzip");
         EXPECT_EQ(f.Header("Content-Length"), std::to_string(f.body.size()));
         EXPECT_FALSE(f.body.empty());
         EXPECT_FALSE(Inflate(f.body, 15 + 16));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(QdsFaultName(c.fault)));
    sim.SetFault(index, {c.fault, 1, "boom"});
    // The request does not accept gzip: the truncated gzip body comes anyway.
    const Fetched f = Fetch(data, index + "?qds.meta=on");
    ASSERT_TRUE(f.sent);
    EXPECT_TRUE(f.readOk) << f.readError;
    EXPECT_EQ(f.status, c.status);
    EXPECT_TRUE(f.Has("Date"));
    c.check(f);
    EXPECT_EQ(sim.Requests().back().fault, c.fault);
    EXPECT_EQ(sim.Requests().back().status, c.status);
    // Once only: the next request gets the document.
    const Fetched next = Fetch(data, index);
    EXPECT_EQ(next.status, 200);
    EXPECT_EQ(next.body, doc);
  }
}

TEST_F(QdsSimulatorTest, FaultsLastForTheirCountOrUntilCleared) {
  sim.SetFault(index, {QdsFault::Unavailable, 2});
  EXPECT_EQ(Fetch(data, index).status, 503);
  EXPECT_EQ(Fetch(data, "/qds/securities/SBER.json").status, 200);  // other paths untouched
  EXPECT_EQ(Fetch(data, index).status, 503);
  EXPECT_EQ(Fetch(data, index).status, 200);
  sim.SetFault(index, {QdsFault::NotFound});
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Fetch(data, index).status, 404);
  // A fault wins over validators that match.
  EXPECT_EQ(Fetch(data, index, "If-None-Match: *").status, 404);
  sim.ClearFaults();
  EXPECT_EQ(Fetch(data, index).status, 200);
}

TEST_F(QdsSimulatorTest, PassportFaultsAreScriptedApart) {
  TrustTestAuthority trust;
  sim.MapPassportHost();
  const Target passport{"secure.tarvo.example", 443, true};
  sim.SetPassportFault({QdsFault::ForbiddenHtml, 1});
  EXPECT_EQ(Fetch(passport, "/authenticate", BasicHeader("trader:secret")).status, 403);
  EXPECT_EQ(Fetch(data, index).status, 200);
  EXPECT_EQ(Fetch(passport, "/authenticate", BasicHeader("trader:secret")).status, 200);
  sim.SetPassportFault({QdsFault::ServerErrorTitle});
  EXPECT_EQ(Fetch(passport, "/authenticate", BasicHeader("trader:secret")).status, 500);
  EXPECT_EQ(sim.PassportsGranted(), 1u);
}

TEST_F(QdsSimulatorTest, ResetCutsTheAnswerAfterPartOfTheBody) {
  const std::string big(200000, 'r');
  sim.SetDocument("/qds/big.json", big);
  sim.SetFault("/qds/big.json", {QdsFault::Reset, 1});
  const Fetched f = Fetch(data, "/qds/big.json");
  // The headers came; the body never ends well.
  ASSERT_TRUE(f.sent) << f.sendError;
  EXPECT_EQ(f.status, 200);
  EXPECT_FALSE(f.readOk);
  EXPECT_NE(f.readError, 0u);
  EXPECT_LE(f.body.size(), big.size() / 2);
  EXPECT_EQ(Fetch(data, "/qds/big.json").body, big);

  // On the wire: a TCP reset after the headers, where a normal answer closes in order.
  sim.SetFault("/qds/big.json", {QdsFault::Reset, 1});
  const RawClient::Received cut = RawGet(sim.Port(), "/qds/big.json");
  EXPECT_EQ(cut.end, RawClient::End::Reset);
  EXPECT_EQ(cut.bytes.rfind("HTTP/1.1 200", 0), 0u);
  const RawClient::Received whole = RawGet(sim.Port(), "/qds/big.json");
  EXPECT_EQ(whole.end, RawClient::End::Closed);
  EXPECT_EQ(RawClient::BodyOf(whole.bytes), big);
}

TEST_F(QdsSimulatorTest, StalledBodyGoesOnWhenReleased) {
  const std::string big(100000, 's');
  sim.SetDocument("/qds/big.json", big);
  sim.SetFault("/qds/big.json", {QdsFault::StallBody, 1, "", 20s});
  auto pending = std::async(std::launch::async, [&] { return Fetch(data, "/qds/big.json"); });
  ASSERT_EQ(sim.WaitForRequests(1, 5s), 1u);
  EXPECT_EQ(pending.wait_for(300ms), std::future_status::timeout);  // held
  sim.ReleaseStalls();
  ASSERT_EQ(pending.wait_for(5s), std::future_status::ready);
  const Fetched f = pending.get();
  EXPECT_TRUE(f.readOk);
  EXPECT_EQ(f.body, big);
}

TEST_F(QdsSimulatorTest, StallEndsAtItsLimit) {
  sim.SetFault(index, {QdsFault::StallHeaders, 1, "", 300ms});
  const auto start = std::chrono::steady_clock::now();
  const Fetched f = Fetch(data, index);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
  EXPECT_EQ(f.status, 200);
  EXPECT_EQ(f.body, *sim.Document(index));
}

TEST(QdsSimulatorStop, StopEndsStalledRequestsWithinBoundedTime) {
  ProxyEnvironmentCleared noProxy;
  for (QdsFault fault : {QdsFault::StallHeaders, QdsFault::StallBody}) {
    SCOPED_TRACE(std::string(QdsFaultName(fault)));
    QdsSimulator sim;
    sim.SetDocument("/qds/big.json", std::string(100000, 'z'));
    sim.SetFault("/qds/big.json", {fault, -1, "", 60s});
    auto pending = std::async(std::launch::async, [&] {
      return Fetch({"127.0.0.1", sim.Port(), false}, "/qds/big.json");
    });
    ASSERT_EQ(sim.WaitForRequests(1, 5s), 1u);
    const auto start = std::chrono::steady_clock::now();
    sim.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
    ASSERT_EQ(pending.wait_for(5s), std::future_status::ready);
    const Fetched f = pending.get();
    EXPECT_FALSE(f.sent && f.readOk && f.body.size() == 100000);  // never a whole answer
    sim.Stop();                                                   // idempotent
  }
}

// --- recording ---------------------------------------------------------------------------------

TEST_F(QdsSimulatorTest, RecordsEveryRequest) {
  Fetch(data, "/qds/securities/SBER.json?qds.meta=on&lang=en",
        "Accept: application/xml\r\nCookie: TarvoPassport=x\r\nAccept-Encoding: gzip,deflate");
  Fetch(data, "/qds/orders/1.json", "Content-Type: application/json", "POST", R"({"qty":10})");
  const auto r = sim.Requests();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].method, "GET");
  EXPECT_EQ(r[0].path, "/qds/securities/SBER.json");
  EXPECT_EQ(r[0].target, "/qds/securities/SBER.json?qds.meta=on&lang=en");
  EXPECT_EQ(r[0].Header("Accept"), "application/xml");
  EXPECT_EQ(r[0].Header("Cookie"), "TarvoPassport=x");
  EXPECT_EQ(r[0].Header("Accept-Encoding"), "gzip,deflate");
  EXPECT_EQ(r[0].status, 200);
  EXPECT_EQ(r[0].contentEncoding, "gzip");
  EXPECT_FALSE(r[0].passport);
  EXPECT_EQ(r[1].method, "POST");
  EXPECT_EQ(r[1].body, R"({"qty":10})");
  EXPECT_EQ(r[1].status, 404);
  EXPECT_EQ(sim.Requests("/qds/orders/1.json").size(), 1u);
  sim.ClearRequests();
  EXPECT_EQ(sim.RequestCount(), 0u);
}

TEST(QdsSimulatorRecord, KeepsTheNewestWithinItsLimitAndCountsTheDropped) {
  ProxyEnvironmentCleared noProxy;
  QdsSimulator::Options options;
  options.passport = false;
  options.requestLimit = 3;
  QdsSimulator sim(options);
  const Target data{"127.0.0.1", sim.Port(), false};
  for (int i = 1; i <= 5; ++i) Fetch(data, "/qds/r" + std::to_string(i));
  auto paths = [&] {
    std::vector<std::string> out;
    for (const auto& r : sim.Requests()) out.push_back(r.path);
    return out;
  };
  EXPECT_EQ(paths(), (std::vector<std::string>{"/qds/r3", "/qds/r4", "/qds/r5"}));
  EXPECT_EQ(sim.RequestCount(), 3u);
  EXPECT_EQ(sim.DroppedRequests(), 2u);
  EXPECT_TRUE(sim.Requests("/qds/r1").empty());
  // A wait counts what was let go: five requests came.
  EXPECT_EQ(sim.WaitForRequests(5, 0ms), 5u);
  sim.ClearRequests();
  EXPECT_EQ(sim.DroppedRequests(), 0u);
  Fetch(data, "/qds/r6");
  EXPECT_EQ(paths(), (std::vector<std::string>{"/qds/r6"}));
  EXPECT_EQ(sim.WaitForRequests(1, 0ms), 1u);

  // Without a limit nothing goes.
  options.requestLimit = 0;
  QdsSimulator all(options);
  for (int i = 0; i < 5; ++i) Fetch({"127.0.0.1", all.Port(), false}, "/qds/x");
  EXPECT_EQ(all.RequestCount(), 5u);
  EXPECT_EQ(all.DroppedRequests(), 0u);
}

// The count of data requests is not the record's: a passport request that
// pushes a data request out of the record leaves it counted.
TEST(QdsSimulatorRecord, CountsDataRequestsTheLimitLetGo) {
  ProxyEnvironmentCleared noProxy;
  TrustTestAuthority trust;
  QdsSimulator::Options options;
  options.requestLimit = 1;
  QdsSimulator sim(options);
  EXPECT_EQ(Fetch({"127.0.0.1", sim.Port(), false}, "/qds/index.json").status, 200);
  EXPECT_EQ(Fetch({"127.0.0.1", sim.PassportPort(), true}, "/authenticate").status, 401);
  const auto kept = sim.Requests();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_TRUE(kept[0].passport);
  EXPECT_EQ(sim.DataRequestCount(), 1u);
  EXPECT_EQ(Fetch({"127.0.0.1", sim.Port(), false}, "/nothing").status, 404);
  EXPECT_EQ(sim.DataRequestCount(), 2u);
  sim.ClearRequests();
  EXPECT_EQ(sim.DataRequestCount(), 0u);
}

// An answer that is under way when Stop comes goes out whole (the program's
// --once stops as soon as the request is recorded, before its answer), while
// an idle connection ends at once.
TEST(QdsSimulatorStop, AnAnswerUnderWayIsSentWhole) {
  ProxyEnvironmentCleared noProxy;
  QdsSimulator::Options options;
  options.passport = false;
  QdsSimulator sim(options);
  const std::uint16_t port = sim.Port();
  // Half a request: the server waits for the rest for its read time-out (five
  // seconds), well past the one-second keep-alive, so within the source's
  // wait below only Stop can end this connection.
  RawClient idle(port);
  ASSERT_TRUE(idle.Connected());
  ASSERT_TRUE(idle.Send("GET / HTTP/1.1\r\nHo"));
  for (int i = 0; i < 1000 && HttpServerThread::ConnectionSockets(port).empty(); ++i)
    std::this_thread::sleep_for(2ms);
  ASSERT_EQ(HttpServerThread::ConnectionSockets(port).size(), 1u);

  const std::string big(2 * 1024 * 1024, 'w');
  std::promise<void> entered;
  std::atomic<bool> idleEndedFirst{false};
  sim.SetDocumentSource("/qds/slow/", [&](const RecordedRequest&) -> std::optional<std::string> {
    entered.set_value();
    // Answers once the stop has ended the idle connection: the stop has
    // passed this one by then. Three seconds at most, below the read time-out.
    for (int i = 0; i < 1500 && !idleEndedFirst; ++i) {
      idleEndedFirst = idle.EndedByServer();
      if (!idleEndedFirst) std::this_thread::sleep_for(2ms);
    }
    return big;
  });
  RawClient client(port);
  ASSERT_TRUE(client.Send("GET /qds/slow/x.json HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_EQ(entered.get_future().wait_for(10s), std::future_status::ready);
  auto stopping = std::async(std::launch::async, [&] { sim.Stop(); });
  const RawClient::Received got = client.ReadToEnd();
  EXPECT_TRUE(idleEndedFirst) << "the idle connection did not end while the answer waited";
  EXPECT_EQ(got.bytes.rfind("HTTP/1.1 200", 0), 0u);
  EXPECT_EQ(got.end, RawClient::End::Closed);
  EXPECT_EQ(RawClient::BodyOf(got.bytes).size(), big.size());
  EXPECT_TRUE(RawClient::BodyOf(got.bytes) == big);
  EXPECT_EQ(stopping.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(idle.ReadToEnd().end, RawClient::End::Closed);
  EXPECT_EQ(sim.RequestCount(), 1u);  // the half request never became one
}

// A port that a simulator already serves cannot be taken by a second one.
TEST(QdsSimulatorSetup, RefusesAPortInUse) {
  QdsSimulator::Options options;
  options.passport = false;
  QdsSimulator first(options);
  options.port = first.Port();
  EXPECT_THROW(QdsSimulator second(options), std::runtime_error);
}

TEST(QdsSimulatorSetup, RefusesAMissingDataFolder) {
  QdsSimulator::Options options;
  options.dataDir = "/nonexistent/qdssim-data";
  EXPECT_THROW(QdsSimulator sim(options), std::runtime_error);
}

// --- the program -------------------------------------------------------------------------------

// Runs qds-sim with parameters (and an ephemeral port) and reads its
// standard output. parameters are shell words ("2>&1" reads standard error
// too). The program ends on its own (--once, --seconds, --help); one that
// does not is killed after 20 seconds, which Finish reports.
class QdsSimProgram {
 public:
  explicit QdsSimProgram(const std::string& parameters) {
    fOut = ::popen(
        ("exec timeout -s KILL 20 '" + BinaryPath("qds-sim") + "' --port 0 " + parameters).c_str(),
        "r");
  }
  ~QdsSimProgram() {
    if (fOut) ::pclose(fOut);
  }
  QdsSimProgram(const QdsSimProgram&) = delete;
  QdsSimProgram& operator=(const QdsSimProgram&) = delete;

  // The data port from the first line; 0 when the program did not start.
  std::uint16_t Port() {
    const std::string line = Line();
    const std::string mark = "qds-sim data http://127.0.0.1:";
    if (line.rfind(mark, 0) != 0) return 0;
    return static_cast<std::uint16_t>(std::atoi(line.c_str() + mark.size()));
  }
  // One line of output without its end; "" at the end of the output.
  std::string Line() {
    std::string line;
    char buf[512];
    while (fOut && std::fgets(buf, sizeof buf, fOut)) {
      line += buf;
      if (!line.empty() && line.back() == '\n') {
        line.pop_back();
        break;
      }
    }
    return line;
  }
  // Reads to the end; the exit code, -1 when the program did not exit (it
  // was killed).
  int Finish() {
    if (!fOut) return -1;
    while (!Line().empty()) {
    }
    const int status = ::pclose(fOut);
    fOut = nullptr;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  FILE* fOut = nullptr;
};

TEST(QdsSimulatorProgram, RefusesBadArguments) {
  const std::string program = BinaryPath("qds-sim");
  auto run = [&](const std::string& parameters) {
    return pf::LaunchProcess({program, parameters, "", false});
  };
  for (const char* bad :
       {"--bogus", "--port x", "--seconds 0", "--once --seconds 3", "--encoding brotli",
        "--record-limit 0", "--record-limit x", "--record-limit 99999999", "--record-limit"}) {
    auto p = run(bad);
    ASSERT_TRUE(p) << bad;
    ASSERT_EQ(p->Wait(5000), pf::WaitResult::Signaled) << bad;
    EXPECT_EQ(p->ExitCode(), 2u) << bad;
  }
  auto p = run("--data /nonexistent/qdssim-data --seconds 1");
  ASSERT_TRUE(p);
  ASSERT_EQ(p->Wait(5000), pf::WaitResult::Signaled);
  EXPECT_EQ(p->ExitCode(), 1u);
}

TEST(QdsSimulatorProgram, ServesOneRequestWithOnce) {
  ProxyEnvironmentCleared noProxy;
  QdsSimProgram program("--once --no-passport --record-limit 1");
  const std::uint16_t port = program.Port();
  ASSERT_NE(port, 0);
  const Fetched f = Fetch({"127.0.0.1", port, false}, "/qds/index.json");
  EXPECT_EQ(f.status, 200);
  EXPECT_NE(f.body.find("\"durations\""), std::string::npos);
  EXPECT_EQ(program.Finish(), 0);
}

// --help is no mistake: it exits 0, and its usage names the record limit and
// its default.
TEST(QdsSimulatorProgram, HelpShowsTheUsageAndSucceeds) {
  QdsSimProgram program("--help 2>&1");  // the usage goes to standard error
  std::string usage, line;
  while (!(line = program.Line()).empty()) usage += line + "\n";
  EXPECT_EQ(program.Finish(), 0);
  EXPECT_NE(usage.find("[--record-limit N]"), std::string::npos) << usage;
  EXPECT_NE(usage.find("(default 1000)"), std::string::npos) << usage;
}

// The program's record keeps what --record-limit says and no more, and lets
// go of the oldest; the summary it prints at the end shows the record.
TEST(QdsSimulatorProgram, RecordLimitBoundsTheRecord) {
  ProxyEnvironmentCleared noProxy;
  QdsSimProgram program("--no-passport --record-limit 2 --seconds 8");
  const std::uint16_t port = program.Port();
  ASSERT_NE(port, 0);
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(Fetch({"127.0.0.1", port, false}, "/qds/index.json").status, 200);
  std::string last, line;
  while (!(line = program.Line()).empty()) last = line;
  EXPECT_EQ(last, "qds-sim served 5 data 0 passport kept 2 dropped 3");
  EXPECT_EQ(program.Finish(), 0);
}

// --once ends after the first data request even when passport requests push
// it out of a record that keeps a single request: passport requests come
// without a pause (401s on one session) before, during and after it, so the
// data request is the record's newest for well under a millisecond.
TEST(QdsSimulatorProgram, OnceEndsAfterADataRequestThatLeftTheRecord) {
  ProxyEnvironmentCleared noProxy;
  TrustTestAuthority trust;  // the certificate names 127.0.0.1 too
  QdsSimProgram program("--once --record-limit 1");
  const std::string first = program.Line();
  const std::string dataMark = "qds-sim data http://127.0.0.1:",
                    passportMark = " passport https://127.0.0.1:";
  const std::size_t at = first.find(passportMark);
  ASSERT_TRUE(first.rfind(dataMark, 0) == 0 && at != std::string::npos) << first;
  const auto port = static_cast<std::uint16_t>(std::atoi(first.c_str() + dataMark.size()));
  const auto passportPort =
      static_cast<std::uint16_t>(std::atoi(first.c_str() + at + passportMark.size()));

  std::atomic<int> answered{0};
  std::atomic<bool> dataSent{false};
  auto passport = std::async(std::launch::async, [&] {
    pf::HINTERNET inet = pf::InternetOpen("qdssim-test", pf::INTERNET_OPEN_TYPE_DIRECT, {}, {}, 0);
    pf::HINTERNET conn = pf::InternetConnect(inet, "127.0.0.1", passportPort, {}, {},
                                             pf::INTERNET_SERVICE_HTTP, 0, 0);
    // Until the program has gone (a failure once the data request is out),
    // five seconds at most.
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < end) {
      pf::HINTERNET req =
          pf::HttpOpenRequest(conn, "GET", "/authenticate", "", "", nullptr,
                              pf::INTERNET_FLAG_NO_COOKIES | pf::INTERNET_FLAG_SECURE, 0);
      const bool sent = pf::HttpSendRequest(req, "", nullptr, 0);
      if (sent) {
        char buf[256];
        std::uint32_t n = 0;
        while (pf::InternetReadFile(req, buf, sizeof buf, n) && n > 0) {
        }
        ++answered;
      }
      pf::InternetCloseHandle(req);
      if (!sent && dataSent) break;
    }
    pf::InternetCloseHandle(conn);
    pf::InternetCloseHandle(inet);
  });
  for (int i = 0; i < 2500 && answered < 5; ++i) std::this_thread::sleep_for(2ms);
  ASSERT_GE(answered.load(), 5) << "the passport endpoint did not answer";
  const Fetched f = Fetch({"127.0.0.1", port, false}, "/qds/index.json");
  dataSent = true;
  EXPECT_EQ(f.status, 200);
  const std::string last = program.Line();
  passport.wait();
  EXPECT_EQ(last.rfind("qds-sim served 1 data ", 0), 0u) << last;
  EXPECT_NE(last.find(" kept 1 "), std::string::npos) << last;
  EXPECT_EQ(program.Finish(), 0);
}

}  // namespace
}  // namespace tarvo::testing
