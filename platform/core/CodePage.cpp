#include "platform/core/CodePage.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>

#include <array>
#include <cstdlib>
#include <memory>

#include "platform/core/Errors.h"
#include "platform/core/Files.h"
#include "platform/core/Text.h"

namespace tarvo::platform {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LEBom = "\xFF\xFE";
constexpr std::string_view kUtf16BEBom = "\xFE\xFF";

struct ConverterCloser {
  void operator()(UConverter* c) const noexcept { ucnv_close(c); }
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterCloser>;

std::string EnvValue(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// A bare Windows number ("1251") is what a Windows user would write; ICU knows
// those pages as "windows-1251" or, for the DOS and Asian ones, "cp866".
std::string IcuCandidate(std::string_view name, bool second) {
  if (!AllDigits(name)) return std::string(name);
  return (second ? "cp" : "windows-") + std::string(name);
}

// The standard name ICU gives for a code page (MIME, else IANA, else ICU's own
// canonical name), or an empty text when ICU does not know the name.
std::string StandardName(std::string_view name) {
  if (name.empty() || name.size() > 64 || name.find('\0') != std::string_view::npos) return {};
  for (bool second : {false, true}) {
    const std::string candidate = IcuCandidate(name, second);
    for (const char* standard : {"MIME", "IANA"}) {
      UErrorCode err = U_ZERO_ERROR;
      const char* found = ucnv_getStandardName(candidate.c_str(), standard, &err);
      if (U_SUCCESS(err) && found) return found;
    }
    UErrorCode err = U_ZERO_ERROR;
    const char* canonical = ucnv_getAlias(candidate.c_str(), 0, &err);
    if (U_SUCCESS(err) && canonical) return canonical;
    if (!AllDigits(name)) break;
  }
  return {};
}

// Bytes that do not decode become U+FFFD. ICU's own substitute would give
// U+001A for some single-byte pages, a control character a user never sees.
void ToUnicodeReplacement(const void*, UConverterToUnicodeArgs* args, const char*, int32_t,
                          UConverterCallbackReason reason, UErrorCode* err) {
  if (reason > UCNV_IRREGULAR) return;  // reset, close, clone: nothing to do
  *err = U_ZERO_ERROR;
  const UChar replacement = 0xFFFD;
  ucnv_cbToUWriteUChars(args, &replacement, 1, 0, err);
}

bool IsUnicodeForm(UConverterType type) {
  switch (type) {
    case UCNV_UTF8:
    case UCNV_UTF16_BigEndian:
    case UCNV_UTF16_LittleEndian:
    case UCNV_UTF32_BigEndian:
    case UCNV_UTF32_LittleEndian:
    case UCNV_UTF7:
    case UCNV_UTF16:
    case UCNV_UTF32:
    case UCNV_CESU8:
    case UCNV_SCSU:
    case UCNV_BOCU1:
    case UCNV_IMAP_MAILBOX:
      return true;
    default:
      return false;
  }
}

[[noreturn]] void ThrowUnknown(std::string_view name) {
  throw ECodePageError("Unknown code page \"" + std::string(name) + "\"", ERROR_INVALID_PARAMETER);
}

ConverterPtr OpenConverter(std::string_view name) {
  if (name.empty() || name.size() > 64 || name.find('\0') != std::string_view::npos)
    ThrowUnknown(name);
  ConverterPtr conv;
  for (bool second : {false, true}) {
    UErrorCode err = U_ZERO_ERROR;
    conv.reset(ucnv_open(IcuCandidate(name, second).c_str(), &err));
    if (U_SUCCESS(err) && conv) break;
    conv.reset();
    if (!AllDigits(name)) break;
  }
  if (!conv) ThrowUnknown(name);
  UErrorCode err = U_ZERO_ERROR;
  ucnv_setToUCallBack(conv.get(), ToUnicodeReplacement, nullptr, nullptr, nullptr, &err);
  if (!IsUnicodeForm(ucnv_getType(conv.get()))) {
    // "?" as Windows writes it, given as Unicode so that ICU encodes it in the
    // page itself (it is not 0x3F in every page).
    const UChar question = u'?';
    ucnv_setSubstString(conv.get(), &question, 1, &err);
  }
  if (U_FAILURE(err)) ThrowUnknown(name);
  return conv;
}

// Converters are not thread-safe and opening one looks its tables up by name,
// so each thread keeps the few it used last.
struct CachedConverter {
  std::string name;
  ConverterPtr conv;
};

struct ConverterCache {
  std::array<CachedConverter, 4> entries;
  std::size_t nextVictim = 0;
  ConverterPtr utf8;  // apart from the others: it is used together with one of them

  UConverter* Get(std::string_view name) {
    for (auto& e : entries)
      if (e.conv && e.name == name) {
        ucnv_reset(e.conv.get());
        return e.conv.get();
      }
    ConverterPtr conv = OpenConverter(name);
    auto& slot = entries[nextVictim];
    nextVictim = (nextVictim + 1) % entries.size();
    slot.name = std::string(name);
    slot.conv = std::move(conv);
    return slot.conv.get();
  }

  UConverter* Utf8() {
    if (!utf8) utf8 = OpenConverter("UTF-8");
    ucnv_reset(utf8.get());
    return utf8.get();
  }
};

ConverterCache& Cache() {
  thread_local ConverterCache cache;
  return cache;
}

// Streams in through the source converter and out through the target one,
// growing the output as needed; any input size works.
std::string Convert(UConverter* target, UConverter* source, std::string_view in) {
  std::string out;
  if (in.empty()) return out;
  out.resize(in.size() + in.size() / 2 + 16);
  UChar pivot[1024];
  UChar* pivotSource = pivot;
  UChar* pivotTarget = pivot;
  const char* src = in.data();
  const char* const srcLimit = in.data() + in.size();
  std::size_t written = 0;
  bool reset = true;
  for (;;) {
    UErrorCode err = U_ZERO_ERROR;
    char* tgt = out.data() + written;
    ucnv_convertEx(target, source, &tgt, out.data() + out.size(), &src, srcLimit, pivot,
                   &pivotSource, &pivotTarget, pivot + 1024, reset, true, &err);
    reset = false;
    written = static_cast<std::size_t>(tgt - out.data());
    if (err == U_BUFFER_OVERFLOW_ERROR) {
      out.resize(out.size() * 2);
      continue;
    }
    if (U_FAILURE(err))
      throw ECodePageError(std::string("Text conversion failed: ") + u_errorName(err),
                           ERROR_INVALID_DATA);
    break;
  }
  out.resize(written);
  return out;
}

bool IsUtf8(UConverter* conv) {
  return ucnv_getType(conv) == UCNV_UTF8;
}

void AppendUtf16(std::string& out, std::string_view text, bool bigEndian) {
  const std::u16string units = Utf8ToUtf16(text);
  const std::size_t start = out.size();
  out.resize(start + units.size() * 2);
  char* p = out.data() + start;
  for (char16_t u : units) {
    const char hi = static_cast<char>(u >> 8);
    const char lo = static_cast<char>(u & 0xFF);
    *p++ = bigEndian ? hi : lo;
    *p++ = bigEndian ? lo : hi;
  }
}

std::string DecodeUtf16(std::string_view bytes, bool bigEndian) {
  std::u16string units(bytes.size() / 2, u'\0');
  for (std::size_t k = 0; k < units.size(); ++k) {
    const auto a = static_cast<unsigned char>(bytes[2 * k]);
    const auto b = static_cast<unsigned char>(bytes[2 * k + 1]);
    units[k] = static_cast<char16_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
  }
  std::string text = Utf16ToUtf8(units);
  if (bytes.size() % 2 != 0) AppendCodePoint(text, 0xFFFD);
  return text;
}

}  // namespace

std::string SystemAnsiCodePage() {
  std::string name = EnvValue("TARVO_ANSI_CODEPAGE");
  if (name.empty()) {
    std::string locale;
    for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
      locale = EnvValue(var);
      if (!locale.empty()) break;
    }
    // language_TERRITORY.charset@modifier
    const std::size_t dot = locale.find('.');
    if (dot != std::string::npos) {
      const std::size_t at = locale.find('@', dot);
      name = locale.substr(dot + 1, at == std::string::npos ? std::string::npos : at - dot - 1);
    }
    if (name.empty()) return "UTF-8";
  }
  std::string standard = StandardName(name);
  return standard.empty() ? name : standard;
}

std::string FromCodePage(std::string_view bytes, std::string_view codePage) {
  const std::string name = codePage.empty() ? SystemAnsiCodePage() : std::string(codePage);
  ConverterCache& cache = Cache();
  UConverter* conv = cache.Get(name);
  if (IsUtf8(conv)) return SanitizeUtf8(bytes);
  return Convert(cache.Utf8(), conv, bytes);
}

std::string ToCodePage(std::string_view text, std::string_view codePage) {
  const std::string name = codePage.empty() ? SystemAnsiCodePage() : std::string(codePage);
  ConverterCache& cache = Cache();
  UConverter* conv = cache.Get(name);
  // Bad bytes become U+FFFD first, one per byte as everywhere else, and then
  // the page's substitute.
  if (IsUtf8(conv) || !IsValidUtf8(text)) {
    std::string clean = SanitizeUtf8(text);
    if (IsUtf8(conv)) return clean;
    return Convert(conv, cache.Utf8(), clean);
  }
  return Convert(conv, cache.Utf8(), text);
}

DecodedText DecodeText(std::string_view bytes) {
  DecodedText result;
  if (bytes.starts_with(kUtf8Bom)) {
    result.encoding = TextEncoding::Utf8;
    result.bom = true;
    result.text = SanitizeUtf8(bytes.substr(kUtf8Bom.size()));
  } else if (bytes.starts_with(kUtf16LEBom)) {
    result.encoding = TextEncoding::Utf16LE;
    result.bom = true;
    result.text = DecodeUtf16(bytes.substr(2), false);
  } else if (bytes.starts_with(kUtf16BEBom)) {
    result.encoding = TextEncoding::Utf16BE;
    result.bom = true;
    result.text = DecodeUtf16(bytes.substr(2), true);
  } else {
    result.encoding = TextEncoding::Ansi;
    result.codePage = SystemAnsiCodePage();
    result.text = FromCodePage(bytes, result.codePage);
  }
  return result;
}

std::string EncodeText(std::string_view text, TextEncoding encoding, bool bom,
                       std::string_view codePage) {
  std::string out;
  switch (encoding) {
    case TextEncoding::Ansi:
      return ToCodePage(text, codePage);
    case TextEncoding::Utf8:
      if (bom) out = kUtf8Bom;
      out += SanitizeUtf8(text);
      return out;
    case TextEncoding::Utf16LE:
      if (bom) out = kUtf16LEBom;
      AppendUtf16(out, text, false);
      return out;
    case TextEncoding::Utf16BE:
      if (bom) out = kUtf16BEBom;
      AppendUtf16(out, text, true);
      return out;
  }
  throw ECodePageError("Unknown text encoding", ERROR_INVALID_PARAMETER);
}

DecodedText LoadTextFile(const std::string& path) {
  std::optional<std::string> bytes = ReadFileBytes(path);
  if (!bytes) {
    std::uint32_t code = GetLastError();
    if (code == ERROR_SUCCESS) code = ERROR_GEN_FAILURE;
    throw ECodePageError("Cannot read \"" + path + "\": " + SysErrorMessage(code), code);
  }
  return DecodeText(*bytes);
}

void SaveTextFile(const std::string& path, std::string_view text, TextEncoding encoding, bool bom,
                  std::string_view codePage) {
  const std::string bytes = EncodeText(text, encoding, bom, codePage);
  if (!WriteFileAtomic(path, bytes)) {
    std::uint32_t code = GetLastError();
    if (code == ERROR_SUCCESS) code = ERROR_GEN_FAILURE;
    throw ECodePageError("Cannot write \"" + path + "\": " + SysErrorMessage(code), code);
  }
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  const std::size_t n = text.size();
  while (start < n) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.emplace_back(text.substr(start));
      break;
    }
    lines.emplace_back(text.substr(start, end - start));
    start = end + ((text[end] == '\r' && end + 1 < n && text[end + 1] == '\n') ? 2 : 1);
  }
  return lines;
}

}  // namespace tarvo::platform
