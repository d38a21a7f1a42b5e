// Query parameters: named conditions that open and filter the terminal's data
// browsers, and persisted lists of them.
//
// A parameter (TMdsParam) is a relation, a value or a list of values, and a
// second value (Addon) for "between". It matches single values (Match); a
// parameter list (TMdsParams) is compiled into a record filter by
// TParamsFilter (MdsFilter.h).
//
// Change notices.
//  - A parameter's changes (value, items, relation, enabled, addon) raise its
//    collection's change notice for the item and then its OnChange. Between
//    Freeze and the matching Unlock they are only counted; the outermost
//    Unlock raises one notice when anything changed. Name, Alias, Options and
//    Visible are stored without notice.
//  - A list raises OnChange(list, item) for every change of one of its
//    parameters, and OnChange(list, nullptr) for changes of the list itself
//    (parameters added or removed, the end of a BeginUpdate/EndUpdate batch,
//    Enabled flipping). Changes inside a batch are dropped and one notice
//    comes at the end.
//
// Persistence (SaveToText/LoadFromText): a value equal to its declared
// default is not stored. Stored: Name (when not empty), Alias (only when not
// empty and different from Name), Relation (when not "="), Options (when
// not [poStorable]), Enabled and Visible (when false), Value (only without
// items, when assigned), Addon (only for "between" without items, when
// assigned), Items (only when there are any, each with its Visible flag).
// Custom values are stored as their text.
//
// Threads: the user-interface thread only.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/tvDataTypes.h"
#include "host/tvDataVariant.h"

namespace tarvo {

class TMdsParams;
class TMdsParam;
class TMdsValues;

// Raised by Match for relation/value-kind combinations without a meaning,
// and by LoadFromText for text that is no parameter list.
class EMdsParamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum TMdsRelation : std::uint8_t {
  prEQ,  // "="
  prNE,  // "<>"
  prGT,  // ">"
  prGE,  // ">="
  prLT,  // "<"
  prLE,  // "<="
  prCS,  // "contains" (ignoring case)
  prNS,  // "not contain"
  prEN,  // "is null"
  prNN,  // "not null"
  prEE,  // "equal or null"
  prBW,  // "between" Value and Addon, both included
};
inline constexpr int kRelationCount = 12;

// The display texts of the relations, by ordinal; used in messages.
inline constexpr std::array<std::string_view, kRelationCount> RelationNames = {"=",
                                                                               "<>",
                                                                               ">",
                                                                               ">=",
                                                                               "<",
                                                                               "<=",
                                                                               "contains",
                                                                               "not contain",
                                                                               "is null",
                                                                               "not null",
                                                                               "equal or null",
                                                                               "between"};
// "prEQ" ... "prBW": the identifiers used in persisted text.
std::string_view RelationIdent(TMdsRelation relation) noexcept;

enum TMdsParamOption : int {
  poStorable,
  poNoLookup,
  poFirmId,
  poCriteria,
  poStoreNull,
  poPartial,    // filters compare texts by prefix
  poNoCompare,  // left out of comparisons in cmComparable mode
  poSkipNull,
  poAuxiliary,
};
using TMdsParamOptions = TEnumSet<TMdsParamOption>;

enum class TMdsParamsCompareMode { cmAll, cmVisible, cmComparable };

// One value of a parameter's list.
class TMdsValue {
 public:
  const Variant& GetValue() const noexcept { return fValue; }
  // Setting a value equal to the current one (VarEqual) does nothing;
  // otherwise the list's owner hears of the change.
  void SetValue(const Variant& value);
  bool GetVisible() const noexcept { return fVisible; }
  void SetVisible(bool visible) noexcept { fVisible = visible; }
  // The text of the value, or "TMdsValue" when it has none.
  std::string GetDisplayName() const;

 private:
  friend class TMdsValues;
  explicit TMdsValue(TMdsValues* owner) : fOwner(owner) {}
  TMdsValues* fOwner;
  Variant fValue;
  bool fVisible = true;
};

// The owned list of a parameter's values. Every change (an item added,
// removed or changed, the list cleared) is passed to OnUpdate; inside
// BeginUpdate/EndUpdate one notice comes at the end.
class TMdsValues {
 public:
  TMdsValues() = default;
  TMdsValues(const TMdsValues&) = delete;
  TMdsValues& operator=(const TMdsValues&) = delete;

  int Count() const noexcept { return static_cast<int>(fItems.size()); }
  bool Empty() const noexcept { return fItems.empty(); }
  TMdsValue& operator[](int index);  // raises std::out_of_range
  const TMdsValue& operator[](int index) const;
  TMdsValue& Add();
  TMdsValue& Add(const Variant& value);
  void Delete(int index);
  void Clear();
  void BeginUpdate() noexcept { ++fUpdateCount; }
  void EndUpdate();

  std::function<void()> OnUpdate;

 private:
  friend class TMdsValue;
  void Changed();
  std::vector<std::unique_ptr<TMdsValue>> fItems;
  int fUpdateCount = 0;
};

class TMdsParam {
 public:
  // A parameter of a list is made by TMdsParams::Add; a free-standing one
  // (owner nullptr) is the caller's.
  explicit TMdsParam(TMdsParams* owner = nullptr);
  ~TMdsParam();
  TMdsParam(const TMdsParam&) = delete;
  TMdsParam& operator=(const TMdsParam&) = delete;

  TMdsParams* GetCollection() const noexcept { return fCollection; }

  const Variant& GetAddon() const noexcept { return fAddon; }
  void SetAddon(const Variant& value);
  // The alias, or the name when no alias is set.
  const std::string& GetAlias() const noexcept { return fAlias.empty() ? fName : fAlias; }
  void SetAlias(std::string alias);
  void* GetData() const noexcept { return fData; }
  void SetData(void* data) noexcept { fData = data; }
  bool GetEnabled() const noexcept { return fEnabled; }
  void SetEnabled(bool value);
  TMdsValues& GetItems() noexcept { return fItems; }
  const TMdsValues& GetItems() const noexcept { return fItems; }
  // One or more column names separated by ";".
  const std::string& GetName() const noexcept { return fName; }
  void SetName(std::string name);
  TMdsRelation GetRelation() const noexcept { return fRelation; }
  void SetRelation(TMdsRelation relation);
  TMdsParamOptions GetOptions() const noexcept { return fOptions; }
  void SetOptions(TMdsParamOptions options) noexcept { fOptions = options; }
  const Variant& GetValue() const noexcept { return fValue; }
  // An array value becomes the items (Value and Addon emptied); any other
  // value is stored when it differs, a date-time rounded to the nearest
  // millisecond and then to the whole second. At most one change notice.
  void SetValue(const Variant& value);
  bool GetVisible() const noexcept { return fVisible; }
  void SetVisible(bool visible) noexcept { fVisible = visible; }

  int GetChangeNo() const noexcept { return fChangeNo; }
  int GetIsLocked() const noexcept { return fIsLocked; }
  std::function<void(TMdsParam&)> OnChange;

  // Does the value satisfy this parameter? Raises EMdsParamError for a
  // relation that has no meaning for the parameter ("List matching not
  // implemented for ...") and the data layer's "CannotConvertValue" for an
  // ordering between values that cannot be ordered.
  bool Match(const Variant& value);
  bool Valid() const noexcept;
  bool Empty() const noexcept { return !Valid(); }
  bool Equal(const TMdsParam& other) const noexcept;
  bool Comparable(TMdsParamsCompareMode mode) const noexcept;
  // Clears Value, Addon and Items (one notice).
  void Clear();
  void Freeze() noexcept { ++fIsLocked; }
  void Unlock();
  // Copies alias, name, options, relation, value, addon, items, enabled and
  // visible (one notice).
  void Assign(const TMdsParam& source);

 private:
  friend class TMdsParams;
  void Changed();
  void ItemsChanged() { Changed(); }

  TMdsParams* fCollection;
  Variant fAddon;
  std::string fAlias;
  void* fData = nullptr;
  bool fEnabled = true;
  TMdsValues fItems;
  std::string fName;
  TMdsRelation fRelation = prEQ;
  TMdsParamOptions fOptions{poStorable};
  Variant fValue;
  bool fVisible = true;
  int fChangeNo = 0;
  int fIsLocked = 0;
  int fSearchStartIndex = 0;
};

class TMdsParams {
 public:
  TMdsParams() = default;
  ~TMdsParams();
  TMdsParams(const TMdsParams&) = delete;
  TMdsParams& operator=(const TMdsParams&) = delete;

  int Count() const noexcept { return static_cast<int>(fItems.size()); }
  TMdsParam* GetItem(int index) const;  // raises std::out_of_range

  // A new enabled parameter with default properties.
  TMdsParam* Add();
  // A new parameter with the name and value; when setting fails the
  // parameter is removed again and the failure propagates.
  TMdsParam* Add(std::string_view name, const Variant& value);
  // Parameters by name, ignoring case.
  int IndexOf(std::string_view name) const;
  TMdsParam* Find(std::string_view name) const;
  // The parameter, switched to enabled; else a new one with a null value.
  TMdsParam* Need(std::string_view name);
  // Its value, or null when there is no such parameter.
  Variant Get(std::string_view name) const;
  Variant operator[](std::string_view name) const { return Get(name); }
  // Adds the parameter when missing; otherwise enables it and sets the value.
  TMdsParam* Put(std::string_view name, const Variant& value);
  void Delete(std::string_view name);
  void Delete(int index);

  // Same comparable parameters (by mode), each Equal to the one of the same
  // name in other.
  bool Equal(const TMdsParams* other, TMdsParamsCompareMode mode) const;
  int VisibleCount() const noexcept;
  int ComparableCount(TMdsParamsCompareMode mode) const noexcept;

  void BeginUpdate() noexcept { ++fUpdateCount; }
  void EndUpdate();
  bool Locked() const noexcept { return fUpdateCount > 0; }
  void Clear();
  void Assign(const TMdsParams& source);
  // True while at least one parameter is enabled.
  bool Enabled() const noexcept { return fEnabled; }

  std::function<void(TMdsParams&, TMdsParam*)> OnChange;

  // Persistence, see above. LoadFromText replaces the list (one notice) or,
  // on text that is no parameter list, raises EMdsParamError and leaves the
  // list unchanged.
  std::string SaveToText() const;
  void LoadFromText(std::string_view text);

 private:
  friend class TMdsParam;
  void Changed(TMdsParam* item);
  void Update(TMdsParam* item);

  std::vector<std::unique_ptr<TMdsParam>> fItems;
  bool fEnabled = false;
  int fIsLocked = 0;
  int fUpdateCount = 0;
};

// Text forms of values in persisted parameter lists: Null, True, False,
// 'text' (quotes doubled, control characters as #13), Int(5), UInt(5),
// Double(1.5), Currency(12.5), DateTime(45000.5), Date(...), Time(...),
// Fixed(12.345). Doubles keep every bit.
std::string VariantToLiteral(const Variant& value);
// Parses a literal at text[pos], advancing pos; raises EMdsParamError.
Variant LiteralToVariant(std::string_view text, std::size_t& pos);

}  // namespace tarvo
