// Code pages and text files.
//
// The "system ANSI code page" of the Windows terminal is, here, the code page
// named by the environment variable TARVO_ANSI_CODEPAGE (for example
// "windows-1251"), else the charset of the current locale: the ".charset" part
// of the first non-empty of LC_ALL, LC_CTYPE, LANG; a locale that names no
// charset ("C", "POSIX", unset) counts as UTF-8, so that nothing is lost. It
// is read on every call, so tests may change it.
//
// A code page is named as ICU knows it: "windows-1251", "cp1251", "KOI8-R",
// "UTF-8", "ISO-8859-5" (case and punctuation do not matter), or by its
// Windows number alone ("1251").
//
// Conversions go through ICU. Characters that a code page cannot represent
// become that code page's substitute character ("?" for every code page that
// is not a Unicode form; no best-fit guessing); bytes that do not decode become
// U+FFFD. Nothing is dropped silently. Converters are cached per thread; every
// function here is safe to call from any thread.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::platform {

// Raised for an unknown code page name (code ERROR_INVALID_PARAMETER) and for
// a file that cannot be read or written (the Windows code of the cause, see
// Errors.h).
class ECodePageError : public std::runtime_error {
 public:
  explicit ECodePageError(const std::string& message, std::uint32_t code = 0)
      : std::runtime_error(message), fCode(code) {}
  std::uint32_t Code() const noexcept { return fCode; }

 private:
  std::uint32_t fCode;
};

// Name of the system ANSI code page as ICU knows it ("windows-1251", "UTF-8"):
// the standard name of what the environment names, or the name as written
// when ICU does not know it (converting with it then throws ECodePageError).
std::string SystemAnsiCodePage();

// Bytes in the named code page to UTF-8 and back. An empty name means the
// system ANSI code page. Throws ECodePageError for an unknown name.
std::string FromCodePage(std::string_view bytes, std::string_view codePage = {});
std::string ToCodePage(std::string_view text, std::string_view codePage = {});

// Encodings a text file can have.
enum class TextEncoding { Ansi, Utf8, Utf16LE, Utf16BE };

// A decoded text with what it was decoded from, so that it can be written back
// in the same form.
struct DecodedText {
  std::string text;  // UTF-8
  TextEncoding encoding = TextEncoding::Ansi;
  bool bom = false;      // a byte-order mark was present
  std::string codePage;  // for Ansi: the code page used
};

// Decodes bytes: a byte-order mark selects UTF-8, UTF-16 LE or UTF-16 BE (the
// mark is not part of the text); without one the bytes are in the system ANSI
// code page. Bad UTF-8 bytes, unpaired surrogates and an odd trailing byte of
// UTF-16 become U+FFFD. Throws ECodePageError when the system ANSI code page
// is unknown and the bytes have no mark.
DecodedText DecodeText(std::string_view bytes);

// Encodes text; with bom the encoding's byte-order mark comes first (none is
// written for Ansi). For Ansi an empty codePage means the system's. Bytes of
// text that are not valid UTF-8 are written as U+FFFD (or the substitute).
std::string EncodeText(std::string_view text, TextEncoding encoding, bool bom,
                       std::string_view codePage = {});

// Reads a whole file and decodes it as DecodeText does. Throws ECodePageError
// (with the Windows error code) when the file cannot be read.
DecodedText LoadTextFile(const std::string& path);

// Writes text to a file (replacing it atomically, mode 0644) in the given
// encoding. Throws ECodePageError when it cannot be written; the file is then
// as it was (an unknown code page is found before the file is touched).
void SaveTextFile(const std::string& path, std::string_view text, TextEncoding encoding, bool bom,
                  std::string_view codePage = {});

// Splits text into lines at CR LF, LF and CR. A final line break does not start
// another line; an empty text has no lines.
std::vector<std::string> SplitLines(std::string_view text);

}  // namespace tarvo::platform
