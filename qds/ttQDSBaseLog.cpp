#include "qds/ttQDSBaseLog.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <pugixml.hpp>

#include "platform/CodePage.h"
#include "platform/DateTime.h"
#include "platform/Text.h"

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

// Inflates exactly size bytes of a saved answer, growing the output only as
// data arrives, so a wrong size cannot make it allocate what is not there.
std::string Inflate(const std::string& packed, TQDSPackedForm form, std::int64_t size) {
  if (size < 0) throw EQDSException("Bad size of a saved answer");
  const int windowBits = form == TQDSPackedForm::pfGzip         ? 16 + MAX_WBITS
                         : form == TQDSPackedForm::pfRawDeflate ? -MAX_WBITS
                                                                : MAX_WBITS;
  z_stream z{};
  if (inflateInit2(&z, windowBits) != Z_OK) throw EQDSException("Decompression failed");
  std::string out;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
  z.avail_in =
      static_cast<uInt>(std::min<std::size_t>(packed.size(), std::numeric_limits<uInt>::max()));
  const auto want = static_cast<std::uint64_t>(size);
  int ret = Z_OK;
  while (out.size() < want) {
    const std::size_t piece = static_cast<std::size_t>(
        std::min<std::uint64_t>(want - out.size(), std::uint64_t{1} << 20));
    const std::size_t old = out.size();
    out.resize(old + piece);
    z.next_out = reinterpret_cast<Bytef*>(out.data() + old);
    z.avail_out = static_cast<uInt>(piece);
    ret = inflate(&z, Z_NO_FLUSH);
    out.resize(old + piece - z.avail_out);
    if (ret == Z_STREAM_END && form == TQDSPackedForm::pfGzip && z.avail_in > 0 &&
        out.size() < want && inflateReset(&z) == Z_OK) {
      ret = Z_OK;  // the next member of a gzip answer
      continue;
    }
    if (ret == Z_STREAM_END) break;
    if (ret != Z_OK) break;
  }
  inflateEnd(&z);
  if ((ret != Z_OK && ret != Z_STREAM_END) || out.size() != want)
    throw EQDSException("The saved answer is damaged");
  return out;
}

}  // namespace

void TQDSLogEntry::LoadText(std::vector<std::string>& MemoStrings) const {
  std::vector<std::string> lines;
  // Compressed by the log, an empty answer takes 8 bytes; kept as it came, it
  // may take fewer or more, and its decoded size tells.
  const bool received = fDataIn && (fDataInForm == TQDSPackedForm::pfZlib
                                        ? fDataIn->Size() > 8
                                        : fSize != 0 && fDataIn->Size() > 0);
  if (received) {
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

}  // namespace tarvo
