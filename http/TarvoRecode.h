// Byte recoding between the Cyrillic single-byte code pages.
//
// Bytes below 0x80 never change. Between any two of koi8-r, windows (which is
// windows-1251, under a second name), iso8859-5 and dos (CP866), every byte
// from 0x80 up goes through a 128-entry table for the pair:
//   - the 64 letters U+0410..U+044F map to the same letters of the target;
//   - between koi8-r and windows-1251 every other byte stays as it is (yo
//     included), as the terminal's stored texts expect;
//   - in the pairs with iso8859-5 or dos, every other character that both code
//     pages have maps to itself (yo, the Ukrainian and Belarusian letters, "№",
//     no-break space ...), and the bytes left over on both sides are paired in
//     ascending order, so every table is a one-to-one map and a round trip
//     gives back the original bytes.
// With none or utf-8 on either side nothing changes.
//
// Pure functions over constant tables, safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvo {

enum TEncoding : std::uint8_t {
  encNone,
  encKoi8_r,
  encWindows,
  encWindows_1251,
  encIso8859_5,
  encDos,
  encUTF8,
};

// The encoding whose name ("none", "koi8-r", "windows", "windows-1251",
// "iso8859-5", "dos", "utf-8") equals name lower-cased (ASCII); encNone when
// none does.
TEncoding match_encoding(std::string_view name);
// The name of an encoding ("none" for a value out of range).
std::string encoding_name(TEncoding encoding);

// Converts len bytes at buf in place from one code page to the other and
// returns buf.
char* recode_buf(char* buf, std::size_t len, TEncoding from, TEncoding to);

// The text (UTF-8) that the bytes of str stand for after recoding from one
// encoding to the other: from utf-8, str decoded as UTF-8 (bad bytes become
// U+FFFD); otherwise the bytes recoded as recode_buf does and decoded in the
// code page they are then in (to's code page when both sides are Cyrillic
// code pages, else from's; encNone means the system's ANSI code page).
std::string recode_to_str(std::string_view str, TEncoding from, TEncoding to);

}  // namespace tarvo
