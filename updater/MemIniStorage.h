// In-memory storage of the translation catalogue: sorted dictionaries of
// sections and key/value pairs, merged from INI-like source texts.
//
// Names (sections and keys) compare ignoring the case of the ASCII letters A-Z
// only; every other byte compares by its value, so "Ключ" and "ключ" are two
// different keys, as they are in the terminal's own sources.
//
// Not thread-safe: the catalogue lives on the user-interface thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tarvo {

// Compares two names ignoring the case of A-Z: <0, 0, >0.
int CompareNames(std::string_view a, std::string_view b) noexcept;

// Hash and equality of names ignoring the case of A-Z, usable with
// std::string_view keys without a copy.
struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept;
};
struct NameEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept;
};

// A sorted list of names, each with an owned object. Insertion finds its place
// by binary search; lookups by name go through a hash index beside the list,
// because the catalogue answers every text the user sees through them.
// Adding a name that is present returns the present item.
template <class T>
class TFastStrings {
 public:
  struct Item {
    std::string name;  // as first added
    std::unique_ptr<T> object;
  };

  // True when name is present; index is then its position, else the position
  // where it would be inserted.
  bool Find(std::string_view name, std::size_t& index) const noexcept {
    std::size_t lo = 0, hi = fItems.size();
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      const int c = CompareNames(fItems[mid].name, name);
      if (c < 0) {
        lo = mid + 1;
      } else if (c > 0) {
        hi = mid;
      } else {
        index = mid;
        return true;
      }
    }
    index = lo;
    return false;
  }

  T* Lookup(std::string_view name) const noexcept {
    const auto it = fIndex.find(name);
    return it == fIndex.end() ? nullptr : it->second;
  }

  // The object of name, created by make() when the name is new.
  template <class Make>
  T& GetOrAdd(std::string_view name, Make&& make) {
    std::size_t i;
    if (!Find(name, i)) {
      fItems.insert(fItems.begin() + i, Item{std::string(name), make()});
      fIndex.emplace(fItems[i].name, fItems[i].object.get());
    }
    return *fItems[i].object;
  }

  bool Delete(std::string_view name) {
    std::size_t i;
    if (!Find(name, i)) return false;
    fIndex.erase(fIndex.find(name));
    fItems.erase(fItems.begin() + i);
    return true;
  }

  void Clear() noexcept {
    fIndex.clear();
    fItems.clear();
  }
  std::size_t Count() const noexcept { return fItems.size(); }
  const Item& operator[](std::size_t i) const { return fItems[i]; }
  auto begin() const noexcept { return fItems.begin(); }
  auto end() const noexcept { return fItems.end(); }

 private:
  std::vector<Item> fItems;
  std::unordered_map<std::string, T*, NameHash, NameEqual> fIndex;
};

// A dictionary of owned objects by name; clearing it frees the objects.
template <class T>
class TTarvoTranslateList {
 public:
  std::size_t Count() const noexcept { return fList.Count(); }
  void Clear() noexcept { fList.Clear(); }
  const TFastStrings<T>& List() const noexcept { return fList; }

 protected:
  TFastStrings<T> fList;
};

// A value of a section. Declared outside the section so that the section can
// be a list of them; the section names it TTarvoTranslateValue.
class TTarvoTranslateSectionValue {
 public:
  explicit TTarvoTranslateSectionValue(std::string value) { Set(std::move(value)); }
  const std::string& Value() const noexcept { return fValue; }
  void Set(std::string value);
  // False when the value has no escape and no variable, so that a lookup can
  // hand it out as it is.
  bool NeedsExpansion() const noexcept { return fNeedsExpansion; }

 private:
  std::string fValue;
  bool fNeedsExpansion = false;
};

// One section of the catalogue: keys with their values.
class TTarvoTranslateSection : public TTarvoTranslateList<TTarvoTranslateSectionValue> {
 public:
  using TTarvoTranslateValue = TTarvoTranslateSectionValue;

  explicit TTarvoTranslateSection(std::string name) : fName(std::move(name)) {}
  const std::string& Name() const noexcept { return fName; }

  const TTarvoTranslateValue* Find(std::string_view key) const noexcept {
    return fList.Lookup(key);
  }
  void Write(std::string_view key, std::string value);
  bool Delete(std::string_view key) { return fList.Delete(key); }

 private:
  std::string fName;
};

// The merged content of every loaded source.
class TTarvoTranslateSections : public TTarvoTranslateList<TTarvoTranslateSection> {
 public:
  // Merges the lines of one source (already decoded): each line is trimmed;
  // empty lines and lines starting with ";" are skipped; "[name]" opens or
  // continues a section; any other line is key=value split at the first "=",
  // both trimmed. Lines without "=" and lines before the first section are
  // skipped. A later line replaces the value of an earlier one.
  void SetStrings(const std::vector<std::string>& lines);

  // The value of the key in the section, or aDefault when either is missing.
  std::string ReadString(std::string_view aSection, std::string_view aName,
                         std::string_view aDefault) const;
  // The stored value itself, or nullptr.
  const TTarvoTranslateSection::TTarvoTranslateValue* FindValue(
      std::string_view aSection, std::string_view aName) const noexcept;
  bool FindSection(std::string_view aName, const TTarvoTranslateSection*& aSection) const noexcept;
  // Sets a value, creating the section and the key as needed.
  void ReplaceString(std::string_view aSection, std::string_view aName, std::string aNewText);
  // Removes a key; true when it was there.
  bool DeleteString(std::string_view aSection, std::string_view aName);
};

}  // namespace tarvo
