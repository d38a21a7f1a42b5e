// Code pages and text files.
//
// The "system ANSI code page" of the Windows terminal is, here, the code page
// named by the environment variable TARVO_ANSI_CODEPAGE (for example
// "windows-1251"), else the charset of the current locale (LC_ALL, LC_CTYPE,
// LANG; usually UTF-8). It is read on every call, so tests may change it.
//
// Conversions go through ICU. Characters that a code page cannot represent
// become that code page's substitute character ("?" for the Windows code
// pages); bytes that do not decode become U+FFFD. Nothing is dropped silently.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::platform {

// Raised for an unknown code page name and for a file that cannot be read or
// written; carries a Windows error code (see Errors.h) where one applies.
class ECodePageError : public std::runtime_error {
 public:
  explicit ECodePageError(const std::string& message, std::uint32_t code = 0)
      : std::runtime_error(message), fCode(code) {}
  std::uint32_t Code() const noexcept { return fCode; }

 private:
  std::uint32_t fCode;
};

// Name of the system ANSI code page as ICU knows it ("windows-1251", "UTF-8").
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
  std::string text;                       // UTF-8
  TextEncoding encoding = TextEncoding::Ansi;
  bool bom = false;                       // a byte-order mark was present
  std::string codePage;                   // for Ansi: the code page used
};

// Decodes bytes: a byte-order mark selects UTF-8, UTF-16 LE or UTF-16 BE (the
// mark is not part of the text); without one the bytes are in the system ANSI
// code page. An odd trailing byte of UTF-16 becomes U+FFFD.
DecodedText DecodeText(std::string_view bytes);

// Encodes text; with bom the encoding's byte-order mark comes first (none is
// written for Ansi). For Ansi an empty codePage means the system's.
std::string EncodeText(std::string_view text, TextEncoding encoding, bool bom,
                       std::string_view codePage = {});

// Reads a whole file and decodes it as DecodeText does. Throws ECodePageError
// (with the Windows error code) when the file cannot be read.
DecodedText LoadTextFile(const std::string& path);

// Writes text to a file (replacing it atomically) in the given encoding.
// Throws ECodePageError when it cannot be written.
void SaveTextFile(const std::string& path, std::string_view text, TextEncoding encoding,
                  bool bom, std::string_view codePage = {});

// Splits text into lines at CR LF, LF and CR. A final line break does not start
// another line; an empty text has no lines.
std::vector<std::string> SplitLines(std::string_view text);

}  // namespace tarvo::platform
