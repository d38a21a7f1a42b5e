// Record filters compiled from parameter lists.
//
// TParamsFilter::Setup converts each parameter's value once into the raw
// form of its column (tvDataTypes.h); Match then reads each record's raw
// cells (TMdsRecord::GetDataP) and compares bytes and numbers without
// allocating: one raw read and one comparison per element and column, lists
// by binary search. Filters combine (TFilterList: all, TAnyFilterList: any,
// TComplexFilter: all of one list and any of another), and every filter is a
// record predicate that a view can use (TMdsView::SetFilter).
//
// Compilation (Setup). Parameters that are disabled or not Valid are left
// out. A parameter's name may list several columns ("CODE;NAME"): unknown
// names are dropped, and an unknown first name leaves the parameter out.
// For "contains"/"not contain", "is null"/"not null" on a lookup-key column
// each listed column with a lookup display column gets that column inserted
// before it; for "contains"/"not contain" on several columns, columns whose
// type does not go with the first one's are removed (both text, both
// date/time, both numeric, or equal codes). A parameter whose value cannot
// be converted is left out silently; Setup never fails as a whole.
//
// Matching (Match). A record passes when every element passes (an empty
// filter passes everything). An element naming several columns decides each
// column on its own and passes when any column passes ("not contain": when
// every column passes). A null cell is decided by the relation alone: "<>"
// and "not contain" pass (unless the condition's own value is missing or,
// for lists, includes a blank entry), "equal or null" and "is null" pass,
// ">", "<", "not null" and "between" fail, "=", ">=", "<=" and "contains"
// pass only for a condition without a value (a list "=" only when it has a
// blank entry). A condition without a value (a null Value) restricts
// nothing beyond that. Texts compare byte for byte (with poPartial: a cell
// that starts with the value counts as equal); "contains" ignores case.
// Numbers compare by value in the column's full range: a value the column
// cannot hold (300 on a one-byte column, -1 on an unsigned one, 2.5 on an
// integer one) equals nothing and orders correctly against everything.
// Lists match by value for every column type.
//
// Lifetime. A filter is tied to one table and hears of its death: it then
// forgets the table and drops its elements (so it passes every record).
// Filters are shared objects (std::shared_ptr); a view holding one keeps it.
//
// Threads: the user-interface thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "actions/MdsParams.h"
#include "host/tvDataTable.h"
#include "host/tvDataUtils.h"
#include "host/tvDataView.h"

namespace tarvo {

// A sorted list of raw text values searched by binary search. Entries
// compare as raw bytes (memory comparison, shorter prefix first) when the
// item size is 0 or both have exactly the item size, else by length.
class TByteOrderStringList {
 public:
  TByteOrderStringList(const TMdsColumn* column, std::size_t itemSize)
      : fColumn(column), fItemSize(itemSize) {}
  const TMdsColumn* Column() const noexcept { return fColumn; }
  std::size_t ItemSize() const noexcept { return fItemSize; }
  int Count() const noexcept { return static_cast<int>(fItems.size()); }
  const std::string& operator[](int index) const {
    return fItems.at(static_cast<std::size_t>(index));
  }
  // Adds an entry at its sorted place (duplicates are kept once).
  void Add(std::string_view value);
  bool Contains(const void* ptr, std::size_t len) const noexcept;

 private:
  int Compare(std::string_view a, std::string_view b) const noexcept;
  const TMdsColumn* fColumn;
  std::size_t fItemSize;
  std::vector<std::string> fItems;
  // The first eight bytes of each entry, big-endian, zero-padded: most
  // comparisons of a search end on these integers.
  std::vector<std::uint64_t> fPrefixes;
};

struct TFilterElement;
class TMdsRecord;

// How one column of an element is tested; built by Setup.
struct TColumnTest {
  // The test itself, chosen by Setup for the column's kind and relation.
  using TestFn = bool (*)(const TFilterElement&, const TColumnTest&, const TMdsRecord&);
  TestFn test = nullptr;
  enum class Kind : std::uint8_t {
    Text,      // raw UTF-8 bytes
    Signed,    // integers, currency, dates, times, Booleans: read as a 64-bit signed value
    Unsigned,  // unsigned integers: read as a 64-bit unsigned value
    Double,    // doubles and date-times
    Fixed,     // fixed-point decimals
    Custom,    // custom values
    Display,   // "contains" on a non-text column: the text of the value
  };
  const TMdsColumn* column = nullptr;
  int type = 0;
  Kind kind = Kind::Text;
  std::uint8_t width = 0;   // bytes of a Signed/Unsigned cell
  bool zeroIsNull = false;  // the column counts all-zero values as null

  // Scalar conditions on Signed/Unsigned cells: in = lo <= v <= hi (never
  // when empty); the result is in, or not in when negate.
  bool empty = false;
  bool negate = false;
  std::int64_t lo = 0, hi = 0;
  std::uint64_t ulo = 0, uhi = 0;
  // Scalar conditions on the other kinds: the first and second value.
  double d1 = 0, d2 = 0;
  TFixed f1, f2;
  std::string text1, text2;
  std::shared_ptr<const IMdsCustomValue> custom;
  std::shared_ptr<const TTextSearcher> searcher;  // "contains" / "not contain"

  // List conditions, sorted.
  std::shared_ptr<const TByteOrderStringList> strings;
  std::vector<std::int64_t> ints;
  std::vector<std::uint64_t> uints;
  std::vector<double> doubles;
  std::vector<TFixed> fixeds;
};

// One compiled condition.
struct TFilterElement {
  const TMdsColumn* Column = nullptr;      // the column tested (the first)
  std::vector<const TMdsColumn*> Columns;  // every column tested, when more than one
  TMdsRelation Relation = prEQ;
  bool IsNull = false;   // the parameter has no usable value ("between": a bound missing)
  bool IsEmpty = false;  // the value list holds a null or blank entry
  bool IsList = false;   // the parameter had a value list
  TMdsParamOptions Options;
  bool NullPasses = false;         // the outcome for a null cell, decided by the above
  std::vector<TColumnTest> Tests;  // one per column, in order
};

class TCustomFilter : public IMdsRecordFilter, public IMdsSexton {
 public:
  // Registers with the table for its death notice (table may be nullptr).
  explicit TCustomFilter(TMdsTable* table);
  ~TCustomFilter() override;
  TCustomFilter(const TCustomFilter&) = delete;
  TCustomFilter& operator=(const TCustomFilter&) = delete;

  TMdsTable* GetTable() const noexcept { return fTable; }
  // At least one element.
  bool Active() const noexcept { return !fItems.empty(); }
  // Some element tests the column, directly or as the visible lookup
  // display column of a lookup key it tests.
  bool Contains(const TMdsColumn* column) const noexcept;
  void Clear() noexcept { fItems.clear(); }
  // The record passes every element. A record of another table fails; a
  // filter without elements passes everything. Never raises.
  bool Match(const TMdsRecord& row) const noexcept override;

  int ElementCount() const noexcept { return static_cast<int>(fItems.size()); }
  const TFilterElement& Element(int index) const {
    return fItems.at(static_cast<std::size_t>(index));
  }

  void SubjectDestroyed(TMdsSubject* subject) override;

 protected:
  std::vector<TFilterElement> fItems;
  TMdsTable* fTable;
};

class TParamsFilter : public TCustomFilter {
 public:
  using TCustomFilter::TCustomFilter;
  // Compiles the list (see above); nullptr or a disabled list gives an
  // empty filter.
  void Setup(const TMdsParams* params);
};

// All filters must match (an empty list matches). Holds its filters.
class TFilterList : public IMdsRecordFilter {
 public:
  void Add(std::shared_ptr<const IMdsRecordFilter> filter) { fItems.push_back(std::move(filter)); }
  void Remove(const IMdsRecordFilter* filter);
  void Clear() noexcept { fItems.clear(); }
  int Count() const noexcept { return static_cast<int>(fItems.size()); }
  bool Match(const TMdsRecord& row) const noexcept override;

 protected:
  std::vector<std::shared_ptr<const IMdsRecordFilter>> fItems;
};

// Any filter must match; an empty list matches.
class TAnyFilterList : public TFilterList {
 public:
  bool Match(const TMdsRecord& row) const noexcept override;
};

// All of AllFilters and any of AnyFilters; an absent list does not restrict.
class TComplexFilter : public IMdsRecordFilter {
 public:
  // The lists, created on first use.
  TFilterList& AllFilters();
  TAnyFilterList& AnyFilters();
  bool HasAllFilters() const noexcept { return fAllFilters != nullptr; }
  bool HasAnyFilters() const noexcept { return fAnyFilters != nullptr; }
  bool Match(const TMdsRecord& row) const noexcept override;

 private:
  std::unique_ptr<TFilterList> fAllFilters;
  std::unique_ptr<TAnyFilterList> fAnyFilters;
};

// The persisted, user-facing filter: an active flag and a parameter list.
// OnChange fires for a change of Active, for every change of the list and
// for Assign; inside EnterChanges/LeaveChanges changes are counted and one
// notice comes when the outermost level closes.
class TMdsFilter {
 public:
  explicit TMdsFilter(void* owner = nullptr);
  ~TMdsFilter();
  TMdsFilter(const TMdsFilter&) = delete;
  TMdsFilter& operator=(const TMdsFilter&) = delete;

  void* GetOwner() const noexcept { return fOwner; }
  bool GetActive() const noexcept { return fActive; }
  void SetActive(bool value);
  TMdsParams& Params() noexcept { return fParams; }
  const TMdsParams& Params() const noexcept { return fParams; }
  // Copies the list; the notice comes only while the filter is active.
  void SetParams(const TMdsParams& params);
  void EnterChanges() noexcept { ++fLockedCount; }
  void LeaveChanges();
  bool Locked() const noexcept { return fLockedCount > 0; }
  // The list has parameters and is enabled.
  bool Filled() const noexcept { return fParams.Count() > 0 && fParams.Enabled(); }
  void Assign(const TMdsFilter& source);

  // A compiled filter of the list for the table, or nullptr when the filter
  // is not active or not filled.
  std::shared_ptr<TParamsFilter> Compile(TMdsTable* table) const;

  // "Active = True" (when active) followed by the list's text.
  std::string SaveToText() const;
  void LoadFromText(std::string_view text);

  std::function<void(TMdsFilter&)> OnChange;

 private:
  void Changed();
  bool fActive = false;
  TMdsParams fParams;
  void* fOwner;
  int fLockedCount = 0;
  int fChangeCount = 0;
  bool fQuiet = false;
};

}  // namespace tarvo
