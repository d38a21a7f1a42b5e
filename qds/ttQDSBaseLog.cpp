#include "qds/ttQDSBaseLog.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <pugixml.hpp>

#include "platform/core/CodePage.h"
#include "platform/core/DateTime.h"
#include "platform/core/Text.h"

namespace tarvo {

// --- base entry --------------------------------------------------------------------

TQDSBaseEntry::TQDSBaseEntry()
    : fLocalStartTime(platform::Now()), fStartTime(platform::GetTickCount()) {}

void TQDSBaseEntry::Failed() {
  fDownloadEndedAt = platform::GetTickCount();
}

std::string TQDSBaseEntry::GetFormattedURL() const {
  std::string s = platform::Trim(InitialURL);
  if (!platform::StartsTextAscii(s, "http://") && !platform::StartsTextAscii(s, "https://"))
    s = (Secured ? "https://" : "http://") + s;
  const std::size_t hostStart = s.find("://") + 3;
  const std::size_t slash = s.find('/', hostStart);
  const std::string port = ":" + std::to_string(InitialPort);
  if (slash == std::string::npos) return s + port;
  return s.substr(0, slash) + port + s.substr(slash);
}

// --- request entry -----------------------------------------------------------------------

TQDSEntry::TQDSEntry(std::uint8_t MessageSession, std::string aEntityClassName, TDataFlag Flag,
                     TJobFlags aJobFlags)
    : fAccumulator(std::make_unique<TQDSMemoryStream>()),
      fSession(MessageSession),
      fDataFlag(Flag),
      fJobFlags(aJobFlags) {
  fEntityClassName = std::move(aEntityClassName);
  Supported = true;
}

std::size_t TQDSEntry::Write(const void* Buffer, std::size_t Count) {
  fAccumulator->Write(Buffer, Count);
  fDownloadEndedAt = platform::GetTickCount();
  return Count;
}

std::size_t TQDSEntry::Write(std::string&& Bytes) {
  const std::size_t count = Bytes.size();
  fAccumulator->Write(std::move(Bytes));
  fDownloadEndedAt = platform::GetTickCount();
  return count;
}

std::size_t TQDSEntry::CopyFrom(TQDSStream& Source, std::size_t Count) {
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  std::string buffer(std::min(Count, kPiece), '\0');
  std::size_t copied = 0;
  while (copied < Count) {
    const std::size_t want = std::min(Count - copied, kPiece);
    const std::size_t got = Source.Read(buffer.data(), want);
    fAccumulator->Write(buffer.data(), got);
    copied += got;
    fDownloadEndedAt = platform::GetTickCount();
    if (got < want) throw EQDSException("Stream read error");
  }
  fDownloadEndedAt = platform::GetTickCount();
  return copied;
}

namespace {

bool IsHeading(const char* name) {
  return platform::SameTextAscii(name, "h1") || platform::SameTextAscii(name, "h2") ||
         platform::SameTextAscii(name, "h3");
}

// The next node of a walk over the tree below top, children first unless
// skipChildren; an empty node when the walk is over. No recursion, so any
// nesting is safe.
pugi::xml_node NextNode(pugi::xml_node node, pugi::xml_node top, bool skipChildren) {
  if (!skipChildren && node.first_child()) return node.first_child();
  while (node && node != top) {
    if (node.next_sibling()) return node.next_sibling();
    node = node.parent();
  }
  return {};
}

bool IsText(pugi::xml_node node) {
  return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata;
}

// All the text below an element, in document order.
std::string WholeText(pugi::xml_node element) {
  std::string text;
  for (pugi::xml_node n = NextNode(element, element, false); n; n = NextNode(n, element, false))
    if (IsText(n)) text += n.value();
  return text;
}

// Headings give their whole text; other elements the texts found below them.
std::string CollectTexts(pugi::xml_node root) {
  std::string result;
  auto add = [&result](std::string_view text) {
    const std::string piece = platform::Trim(text);
    if (piece.empty()) return;
    if (!result.empty()) result += "\r\n";
    result += piece;
  };
  pugi::xml_node n = root;
  while (n) {
    bool skip = false;
    if (n.type() == pugi::node_element && IsHeading(n.name())) {
      add(WholeText(n));
      skip = true;
    } else if (IsText(n)) {
      add(n.value());
    }
    n = NextNode(n, root, skip);
  }
  return result;
}

// LF -> CR LF where it is not one already.
std::string WithCrLf(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

}  // namespace

std::string TQDSEntry::AccumulatorAsString() const {
  if (!fAccumulator) return {};
  std::string result = SanitizeUtf8(fAccumulator->Bytes());
  pugi::xml_document doc;
  const pugi::xml_parse_result parsed =
      doc.load_buffer(result.data(), result.size(), pugi::parse_default, pugi::encoding_utf8);
  if (parsed) {
    if (const pugi::xml_node root = doc.document_element()) {
      std::string collected = CollectTexts(root);
      if (!collected.empty()) result = std::move(collected);
      result = WithCrLf(result);
    }
    return result;
  }
  // Not XML: an HTML page still tells its story in its title.
  const std::string lower = platform::AsciiLowerCase(result);
  const std::size_t open = lower.find("<title>");
  if (open == std::string::npos) return result;
  const std::size_t start = open + 7;
  const std::size_t close = lower.find("</title>", start);
  if (close == std::string::npos) return result;
  return result.substr(start, close - start);
}

// --- log entry -------------------------------------------------------------------------

TQDSLogEntry::TQDSLogEntry(const TQDSEntry* Source)
    : TQDSEntry(Source ? Source->Session() : 0, "Log", TDataFlag::ldUnknown, TJobFlags()) {
  if (!Source) return;
  CopyRecord(*Source);
  const std::string& body = Source->Accumulator().Bytes();
  uLongf length = compressBound(static_cast<uLong>(body.size()));
  std::string packed(length, '\0');
  if (compress2(reinterpret_cast<Bytef*>(packed.data()), &length,
                reinterpret_cast<const Bytef*>(body.data()), static_cast<uLong>(body.size()),
                Z_BEST_SPEED) != Z_OK)
    throw EQDSException("The answer could not be compressed for the request log");
  packed.resize(length);
  // The buffer was sized for the worst case (about the answer's size); the
  // log keeps many entries, each only as large as its compressed bytes.
  packed.shrink_to_fit();
  fDataIn = std::make_unique<TQDSMemoryStream>(std::move(packed));
}

TQDSLogEntry::TQDSLogEntry(const TQDSEntry& Source, std::string Packed, TQDSPackedForm Form)
    : TQDSEntry(Source.Session(), "Log", TDataFlag::ldUnknown, TJobFlags()) {
  CopyRecord(Source);
  Packed.shrink_to_fit();  // a received body carries its buffer's growth room
  fDataIn = std::make_unique<TQDSMemoryStream>(std::move(Packed));
  fDataInForm = Form;
}

void TQDSLogEntry::CopyRecord(const TQDSEntry& Source) {
  fLocalStartTime = Source.LocalStartTime();
  fStartTime = Source.StartTime();
  DownloadStartedAt = Source.DownloadStartedAt;
  fDownloadEndedAt = Source.DownloadEndedAt();
  ParsingEndedAt = Source.ParsingEndedAt;
  TarvoPassport = Source.TarvoPassport;
  AuthRequest = Source.AuthRequest;
  fEntityClassName = Source.EntityClassName();
  ServerTime = Source.ServerTime;
  Reason = Source.Reason;
  LastModified = Source.LastModified;
  ETag = Source.ETag;
  fJobFlags = Source.JobFlags();
  Secured = Source.Secured;
  Signature = Source.Signature;
  fMethod = Source.Method;
  Handle = Source.Handle;
  InitialURL = Source.InitialURL;
  InitialPort = Source.InitialPort;
  Msg = Source.Msg;
  RequestStatus = Source.RequestStatus;
  StatusMessage = Source.StatusMessage;
  Supported = Source.Supported;
  fSize = static_cast<std::int64_t>(Source.Accumulator().Size());

  const std::vector<std::uint8_t>& sent = Source.GetPostBody();
  const std::string_view sentBytes(reinterpret_cast<const char*>(sent.data()), sent.size());
  fDataOut = IsValidUtf8(sentBytes) ? std::string(sentBytes) : platform::FromCodePage(sentBytes);
}

void TQDSLogEntry::SaveToStream(TQDSStream& Stream) const {
  WriteDouble(Stream, fLocalStartTime);
  WriteU32(Stream, fStartTime);
  WriteU32(Stream, fDownloadEndedAt);
  WriteU8(Stream, static_cast<std::uint8_t>(TarvoPassport));
  WriteU8(Stream, AuthRequest ? 1 : 0);
  WriteU16(Stream, Handle);
  WriteI32(Stream, RequestStatus);
  WriteDouble(Stream, fComprK);
  EncodeStringToStream(fEntityClassName, Stream);
  EncodeStringToStream(InitialURL, Stream);
  EncodeStringToStream(Msg, Stream);
  EncodeStringToStream(StatusMessage, Stream);
  WriteU32(Stream, DownloadStartedAt);
  WriteU32(Stream, ParsingEndedAt);
}

bool TQDSLogEntry::LoadFromStream(TQDSStream& Stream) {
  try {
    fLocalStartTime = ReadDouble(Stream);
    fStartTime = ReadU32(Stream);
    fDownloadEndedAt = ReadU32(Stream);
    const std::uint8_t passport = ReadU8(Stream);
    if (passport > static_cast<std::uint8_t>(TTarvoPassportReply::mprGranted)) return false;
    TarvoPassport = static_cast<TTarvoPassportReply>(passport);
    AuthRequest = ReadU8(Stream) != 0;
    Handle = ReadU16(Stream);
    RequestStatus = ReadI32(Stream);
    fComprK = ReadDouble(Stream);
    fEntityClassName = DecodedStringFromStream(Stream);
    InitialURL = DecodedStringFromStream(Stream);
    Msg = DecodedStringFromStream(Stream);
    StatusMessage = DecodedStringFromStream(Stream);
    DownloadStartedAt = ReadU32(Stream);
    ParsingEndedAt = ReadU32(Stream);
    return true;
  } catch (const EQDSException&) {
    return false;
  }
}

namespace {

const std::string kDashLine(54, '-');

void AddBody(const std::string& body, std::vector<std::string>& lines) {
  if (!body.empty() && body.front() == '{')
    LayoutJSONText(body, lines);
  else
    lines.push_back(body);
}

// Exactly size bytes of a saved answer, or EQDSException.
std::string Inflate(const std::string& packed, TQDSPackedForm form, std::int64_t size) {
  if (size < 0) throw EQDSException("Bad size of a saved answer");
  std::string out;
  bool nothing = true;
  if (InflateAnswer(packed, WindowBitsOf(form), static_cast<std::size_t>(size), out, nothing) !=
          TAnswerDecoding::adDone ||
      out.size() != static_cast<std::size_t>(size))
    throw EQDSException("The saved answer is damaged");
  return out;
}

}  // namespace

void TQDSLogEntry::LoadText(std::vector<std::string>& MemoStrings) const {
  std::vector<std::string> lines;
  // The decoded size tells whether an answer came: compressed by the log an
  // empty one takes 8 bytes, kept as it came it may take fewer or more.
  if (fDataIn && fDataIn->Size() > 0 && fSize != 0) {
    if (!fDataOut.empty()) {
      lines.push_back("Sent:");
      AddBody(fDataOut, lines);
      lines.push_back(kDashLine);
      lines.push_back("Received:");
    }
    try {
      const std::string bytes = Inflate(fDataIn->Bytes(), fDataInForm, fSize);
      const std::string text = IsValidUtf8(bytes) ? bytes : platform::FromCodePage(bytes);
      std::size_t start = 0;
      for (std::size_t lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', start)) {
        std::size_t end = lf;
        if (end > start && text[end - 1] == '\r') --end;
        lines.push_back(text.substr(start, end - start));
        start = lf + 1;
      }
      const std::string rest = text.substr(start);
      if (!rest.empty()) AddBody(rest, lines);
    } catch (const std::exception&) {
      lines.push_back("INVALID DATA");
    }
  } else if (!fDataOut.empty()) {
    lines.push_back("Sent:");
    AddBody(fDataOut, lines);
    lines.push_back(kDashLine);
    lines.push_back("NO DATA RECEIVED");
  } else {
    lines.push_back("NO DATA SAVED");
  }
  // The lines become the memo's whole text: a line that holds line breaks of
  // its own shows as several.
  std::string whole;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i) whole += "\r\n";
    whole += lines[i];
  }
  MemoStrings = platform::SplitLines(whole);
}

// --- JSON layout ----------------------------------------------------------------------

void LayoutJSONText(std::string_view Text, std::vector<std::string>& Lines) {
  static constexpr std::size_t kMaxIndentLevels = 64;
  auto indent = [](std::size_t depth) {
    return std::string(2 * std::min(depth, kMaxIndentLevels), ' ');
  };

  std::vector<char> open;  // the opening bracket of each level entered
  std::size_t start = 0;
  bool inString = false;
  std::size_t pos = 0;
  while (pos < Text.size()) {
    const char c = Text[pos];
    if (c == '"') {
      inString = !inString;
      ++pos;
      continue;
    }
    if (inString) {
      ++pos;
      continue;
    }
    const std::size_t depth = open.size();
    if (c == ',') {
      Lines.push_back(indent(depth) + std::string(Text.substr(start, pos + 1 - start)));
      start = ++pos;
    } else if (c == '{' || c == '[') {
      Lines.push_back(indent(depth) + std::string(Text.substr(start, pos + 1 - start)));
      open.push_back(c);
      start = ++pos;
    } else if ((c == '}' || c == ']') && depth > 0) {
      // The level ends: its last text, then the bracket on the parent's line.
      if (pos > start)
        Lines.push_back(indent(depth) + std::string(Text.substr(start, pos - start)));
      const char closer = c;
      open.pop_back();
      ++pos;
      if (pos < Text.size() && Text[pos] == ',') {
        Lines.push_back(indent(depth - 1) + closer + ',');
        ++pos;
      } else {
        Lines.push_back(indent(depth - 1) + closer);
      }
      start = pos;
    } else {
      // Text, and at the outermost level a stray closing bracket: kept as text.
      ++pos;
    }
  }
  if (start < Text.size()) Lines.push_back(indent(open.size()) + std::string(Text.substr(start)));
}

// --- decoding answers --------------------------------------------------------------------

int WindowBitsOf(TQDSPackedForm Form) {
  switch (Form) {
    case TQDSPackedForm::pfGzip:
      return 16 + MAX_WBITS;
    case TQDSPackedForm::pfRawDeflate:
      return -MAX_WBITS;
    case TQDSPackedForm::pfZlib:
      break;
  }
  return MAX_WBITS;
}

TAnswerDecoding InflateAnswer(const std::string& Source, int WindowBits, std::size_t Limit,
                              std::string& Out, bool& NothingDecoded) {
  NothingDecoded = true;
  Out.clear();
  z_stream z{};
  if (inflateInit2(&z, WindowBits) != Z_OK) return TAnswerDecoding::adDamaged;
  // Deflate never packs more than 1032 bytes into one.
  const std::size_t most = Source.size() > Limit / 1032 ? Limit : Source.size() * 1032;
  std::size_t guess = Source.size() > most / 4 ? most : Source.size() * 4;
  if (WindowBits > MAX_WBITS && Source.size() >= 18) {
    const auto* t = reinterpret_cast<const unsigned char*>(Source.data() + Source.size() - 4);
    const std::size_t size = t[0] | (t[1] << 8) | (t[2] << 16) | (std::size_t{t[3]} << 24);
    if (size > 0) guess = std::min(size, most);
  }
  // A trailer is the sender's word: beyond this the buffer grows only as
  // data really decodes.
  guess = std::min<std::size_t>(guess, std::size_t{64} << 20);
  Out.resize(std::max<std::size_t>(guess, 8192));
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Source.data()));
  std::size_t inLeft = Source.size(), used = 0;
  TAnswerDecoding result = TAnswerDecoding::adDone;
  for (;;) {
    if (used == Out.size()) Out.resize(std::min(used * 2, Limit + 1));
    const auto inChunk = static_cast<uInt>(std::min<std::size_t>(inLeft, 1u << 30));
    const auto outChunk = static_cast<uInt>(std::min<std::size_t>(Out.size() - used, 1u << 30));
    z.avail_in = inChunk;
    z.next_out = reinterpret_cast<Bytef*>(Out.data() + used);
    z.avail_out = outChunk;
    const int rc = inflate(&z, Z_NO_FLUSH);
    inLeft -= inChunk - z.avail_in;
    used += outChunk - z.avail_out;
    if (outChunk != z.avail_out) NothingDecoded = false;
    if (used > Limit) {
      result = TAnswerDecoding::adTooLarge;
      break;
    }
    if (rc == Z_STREAM_END) {
      // A gzip answer may come in several members; bytes after the end that
      // start no member are not part of the answer.
      const auto* next = reinterpret_cast<const unsigned char*>(z.next_in);
      if (WindowBits > MAX_WBITS && inLeft >= 2 && next[0] == 0x1F && next[1] == 0x8B &&
          inflateReset(&z) == Z_OK)
        continue;
      break;
    }
    const bool stuck = inChunk == z.avail_in && outChunk == z.avail_out;
    if ((rc != Z_OK && rc != Z_BUF_ERROR) || (inLeft == 0 && z.avail_out > 0) || stuck) {
      // A decoding error, or the input ended before the stream did.
      result = TAnswerDecoding::adDamaged;
      break;
    }
  }
  inflateEnd(&z);
  Out.resize(std::min(used, Limit));
  // The answer is kept (and logged) for a while: not with its growth room.
  if (Out.capacity() - Out.size() > Out.size() / 4) Out.shrink_to_fit();
  return result;
}

}  // namespace tarvo
