// Utilities of the data-table layer: lists of names, the typed comparison of
// raw cells, fast text search, small containers, the text exporter and the
// progress registry.
//
// Threads: the pure functions (Split, Unite, CompareData, BufferToIntf,
// TTextSearcher) may run on any thread; the rest belongs to the UI thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "host/tvDataTable.h"
#include "host/tvDataTypes.h"
#include "host/tvDataVariant.h"

namespace tarvo {

class TMdsView;

// "A, B ,C" -> {"A", "B", "C"}: pieces are trimmed; empty pieces are dropped.
std::vector<std::string> Split(std::string_view text, char separator = ',');
// {"A", "B"} -> "A,B".
std::string Unite(const std::vector<std::string>& items, std::string_view separator = ",");

// Options of CompareData (ordinals in a set).
enum class TMdsCompareOption : int {
  Partial = 0,  // texts: a first buffer that starts with the second compares equal
};
using TMdsCompareOptions = TEnumSet<TMdsCompareOption>;

// The typed comparison of two raw cells of a type (layout in tvDataTypes.h):
// <0, 0, >0. Integers, currency, dates and times by value; doubles by value
// with NaN equal to NaN and before every number; texts byte by byte, a
// shorter prefix first; fixed-point exactly; custom values by Compare;
// unknown types byte by byte. Buffers shorter than the type's size compare
// by length instead of being read past their end.
int CompareData(int type, const void* a, const void* b, std::size_t lenA, std::size_t lenB,
                TMdsCompareOptions options = {}) noexcept;

// The custom value held by a raw custom cell (GetDataP of a code 21 column);
// nullptr when the buffer does not hold one.
const IMdsCustomValue* BufferToIntf(const void* ptr, std::size_t len) noexcept;

// Searches a text ignoring case (Unicode simple case folding), without
// allocating when both texts are ASCII. Built once per needle.
class TTextSearcher {
 public:
  explicit TTextSearcher(std::string_view needle);
  // True when the needle occurs in the bytes (an empty needle always does).
  bool In(const void* ptr, std::size_t len) const;
  bool In(std::string_view text) const { return In(text.data(), text.size()); }
  const std::string& Needle() const noexcept { return fNeedle; }

 private:
  std::string fNeedle;
  std::string fLower;  // ASCII lower case of the needle
  bool fAscii;
};

// Case-sensitive search of bytes: the offset of the first occurrence, or npos.
std::size_t MemSearch(const void* hay, std::size_t hayLen, const void* needle,
                      std::size_t needleLen) noexcept;

// A list of single-byte strings (the terminal's byte strings; UTF-8 here),
// optionally kept sorted for binary search.
class TAnsiStringList {
 public:
  bool GetSorted() const noexcept { return fSorted; }
  void SetSorted(bool sorted);
  bool GetCaseSensitive() const noexcept { return fCaseSensitive; }
  void SetCaseSensitive(bool value);
  int Count() const noexcept { return static_cast<int>(fItems.size()); }
  const std::string& operator[](int index) const;  // raises "IndexOutOfRange"
  // Adds a string (at its sorted place when sorted) and returns its index.
  int Add(std::string value);
  void Delete(int index);
  void Clear() noexcept { fItems.clear(); }
  // Index of the first equal string (binary search when sorted), or -1.
  int IndexOf(std::string_view value) const;
  // Lines joined by "\n" and back.
  std::string GetText() const;
  void SetText(std::string_view text);

 private:
  int Compare(std::string_view a, std::string_view b) const;
  std::vector<std::string> fItems;
  bool fSorted = false;
  bool fCaseSensitive = false;
};

// A list of pointers the list does not own.
template <class T>
using TMdsList = std::vector<T*>;

// A set of pointers the set does not own.
class TPointerSet {
 public:
  bool Add(const void* p) { return fItems.insert(p).second; }
  bool Remove(const void* p) { return fItems.erase(p) != 0; }
  bool Contains(const void* p) const { return fItems.count(p) != 0; }
  int Count() const noexcept { return static_cast<int>(fItems.size()); }
  void Clear() noexcept { fItems.clear(); }

 private:
  std::unordered_set<const void*> fItems;
};

// Progress of a long operation, registered per component (a grid, a form)
// so that the layer's long operations can find the indicator to drive.
class IMdsProgress {
 public:
  virtual ~IMdsProgress() = default;
  virtual void Progress(std::int64_t done, std::int64_t total) = 0;
  // True when the user asked to stop; the operation then ends early.
  virtual bool Cancelled() { return false; }
};
// Registers (or, with nullptr, removes) the progress of a component.
void RegisterProgress(const void* component, IMdsProgress* progress);
// The progress registered for the component, or nullptr.
IMdsProgress* FindProgress(const void* component);

// Writes a view (or a list of records) as delimited text: optionally a line
// of column names, then one line per record. A cell holding the delimiter, a
// quote or a line break is quoted ("..." with inner quotes doubled) so that
// nothing is lost or split. Lines end with "\r\n".
class TMdsTextExporter {
 public:
  TMdsTextExporter() = default;
  virtual ~TMdsTextExporter() = default;

  std::string Delimiter = "\t";
  bool NamesLine = true;
  bool UseDisplayLabels = false;  // names line: labels instead of names
  bool VisibleOnly = true;        // only visible columns
  IMdsProgress* Progress = nullptr;

  // Exports the records of the view in view order. Returns the number of
  // records written (fewer when the progress was cancelled).
  std::int64_t Export(const TMdsView& view, std::ostream& out);
  std::int64_t Export(const TMdsTable& table, const std::vector<TMdsRecord*>& records,
                      std::ostream& out);

 protected:
  // The text of one cell; the default is the record's Format.
  virtual std::string WriteCell(const TMdsRecord& record, const TMdsColumn& column);

 private:
  std::vector<const TMdsColumn*> Columns(const TMdsTable& table) const;
  void WriteField(std::ostream& out, const std::string& text) const;
};

}  // namespace tarvo
