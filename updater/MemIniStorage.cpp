#include "updater/MemIniStorage.h"

#include <cstdint>
#include <cstring>

#include "platform/core/Text.h"

namespace tarvo {

namespace {

inline unsigned char AsciiLower(unsigned char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

}  // namespace

int CompareNames(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char ca = AsciiLower(static_cast<unsigned char>(a[i]));
    const unsigned char cb = AsciiLower(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

namespace {

// Eight bytes of a name with A-Z folded to a-z, read as one word; bytes past
// the end count as zero. Folding whole words keeps hashing and comparing
// names, which every lookup does, at a few instructions per eight letters.
inline std::uint64_t FoldedWord(const char* p, std::size_t n) noexcept {
  std::uint64_t w = 0;
  std::memcpy(&w, p, n < 8 ? n : 8);
  const std::uint64_t low7 = w & 0x7F7F7F7F7F7F7F7Full;
  const std::uint64_t geA = low7 + 0x3F3F3F3F3F3F3F3Full;  // high bit set where byte >= 'A'
  const std::uint64_t gtZ = low7 + 0x2525252525252525ull;  // high bit set where byte > 'Z'
  const std::uint64_t upper = (geA ^ gtZ) & ~w & 0x8080808080808080ull;
  return w | (upper >> 2);  // add 0x20 to A-Z
}

}  // namespace

std::size_t NameHash::operator()(std::string_view s) const noexcept {
  std::uint64_t h = 0x9E3779B97F4A7C15ull ^ s.size();
  for (std::size_t i = 0; i < s.size(); i += 8) {
    h ^= FoldedWord(s.data() + i, s.size() - i);
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 32;
  }
  return static_cast<std::size_t>(h);
}

bool NameEqual::operator()(std::string_view a, std::string_view b) const noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); i += 8)
    if (FoldedWord(a.data() + i, a.size() - i) != FoldedWord(b.data() + i, b.size() - i))
      return false;
  return true;
}

void TTarvoTranslateSectionValue::Set(std::string value) {
  fValue = std::move(value);
  // Escapes start with a backslash and variables with "${"; a value with
  // neither is its own translation.
  fNeedsExpansion =
      fValue.find('\\') != std::string::npos || fValue.find("${") != std::string::npos;
}

void TTarvoTranslateSection::Write(std::string_view key, std::string value) {
  TTarvoTranslateValue& v =
      fList.GetOrAdd(key, [&] { return std::make_unique<TTarvoTranslateValue>(std::string()); });
  v.Set(std::move(value));
}

void TTarvoTranslateSections::SetStrings(const std::vector<std::string>& lines) {
  TTarvoTranslateSection* section = nullptr;
  for (const std::string& raw : lines) {
    const std::string_view line = platform::TrimView(raw);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
      const std::string name(line.substr(1, line.size() - 2));
      section =
          &fList.GetOrAdd(name, [&] { return std::make_unique<TTarvoTranslateSection>(name); });
      continue;
    }
    if (!section) continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    section->Write(platform::TrimView(line.substr(0, eq)),
                   std::string(platform::TrimView(line.substr(eq + 1))));
  }
}

const TTarvoTranslateSectionValue* TTarvoTranslateSections::FindValue(
    std::string_view aSection, std::string_view aName) const noexcept {
  const TTarvoTranslateSection* section = fList.Lookup(aSection);
  return section ? section->Find(aName) : nullptr;
}

std::string TTarvoTranslateSections::ReadString(std::string_view aSection, std::string_view aName,
                                                std::string_view aDefault) const {
  const TTarvoTranslateSectionValue* v = FindValue(aSection, aName);
  return v ? v->Value() : std::string(aDefault);
}

bool TTarvoTranslateSections::FindSection(std::string_view aName,
                                          const TTarvoTranslateSection*& aSection) const noexcept {
  aSection = fList.Lookup(aName);
  return aSection != nullptr;
}

void TTarvoTranslateSections::ReplaceString(std::string_view aSection, std::string_view aName,
                                            std::string aNewText) {
  TTarvoTranslateSection& section = fList.GetOrAdd(
      aSection, [&] { return std::make_unique<TTarvoTranslateSection>(std::string(aSection)); });
  section.Write(aName, std::move(aNewText));
}

bool TTarvoTranslateSections::DeleteString(std::string_view aSection, std::string_view aName) {
  TTarvoTranslateSection* section = fList.Lookup(aSection);
  return section && section->Delete(aName);
}

}  // namespace tarvo
