#include "host/tvDataUtils.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ostream>
#include <unordered_map>

#include "host/tvDataView.h"
#include "platform/core/Text.h"

namespace tarvo {

std::vector<std::string> Split(std::string_view text, char separator) {
  std::vector<std::string> result;
  for (const std::string& piece : platform::SplitString(text, separator)) {
    std::string t = platform::Trim(piece);
    if (!t.empty()) result.push_back(std::move(t));
  }
  return result;
}

std::string Unite(const std::vector<std::string>& items, std::string_view separator) {
  std::string result;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) result += separator;
    result += items[i];
  }
  return result;
}

namespace {

template <class T>
T Load(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

template <class T>
int Cmp(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

int CmpBytes(const void* a, const void* b, std::size_t la, std::size_t lb) {
  std::size_t n = la < lb ? la : lb;
  int r = n ? std::memcmp(a, b, n) : 0;
  if (r != 0) return r < 0 ? -1 : 1;
  return Cmp(la, lb);
}

}  // namespace

int CompareData(int type, const void* a, const void* b, std::size_t lenA, std::size_t lenB,
                TMdsCompareOptions options) noexcept {
  if (IsTextType(type)) {
    if (options.Contains(TMdsCompareOption::Partial) && lenA > lenB) lenA = lenB;
    return CmpBytes(a, b, lenA, lenB);
  }
  if (type == mtcCustom) {
    const IMdsCustomValue* x = BufferToIntf(a, lenA);
    const IMdsCustomValue* y = BufferToIntf(b, lenB);
    if (!x || !y) return x ? 1 : (y ? -1 : 0);
    try {
      int r = x->Compare(*y);
      return r < 0 ? -1 : (r > 0 ? 1 : 0);
    } catch (...) {
      return 0;
    }
  }
  const std::size_t need = FixedCellSize(type);
  if (need == 0 || lenA < need || lenB < need) return CmpBytes(a, b, lenA, lenB);
  switch (type) {
    case mtcBoolean:
      return Cmp(Load<std::uint8_t>(a) != 0, Load<std::uint8_t>(b) != 0);
    case mtcInt8:
      return Cmp(Load<std::int8_t>(a), Load<std::int8_t>(b));
    case mtcInt16:
      return Cmp(Load<std::int16_t>(a), Load<std::int16_t>(b));
    case mtcInt32:
    case mtcDate:
    case mtcTime:
      return Cmp(Load<std::int32_t>(a), Load<std::int32_t>(b));
    case mtcInt64:
    case mtcCurrency:
      return Cmp(Load<std::int64_t>(a), Load<std::int64_t>(b));
    case mtcUInt8:
      return Cmp(Load<std::uint8_t>(a), Load<std::uint8_t>(b));
    case mtcUInt16:
      return Cmp(Load<std::uint16_t>(a), Load<std::uint16_t>(b));
    case mtcUInt32:
      return Cmp(Load<std::uint32_t>(a), Load<std::uint32_t>(b));
    case mtcUInt64:
      return Cmp(Load<std::uint64_t>(a), Load<std::uint64_t>(b));
    case mtcDouble:
    case mtcDateTime:
      return CompareDoubles(Load<double>(a), Load<double>(b));
    case mtcFixed:
      return CompareFixed(TFixed::FromRaw(a), TFixed::FromRaw(b));
    default:
      return CmpBytes(a, b, lenA, lenB);
  }
}

const IMdsCustomValue* BufferToIntf(const void* ptr, std::size_t len) noexcept {
  if (!ptr || len != sizeof(std::shared_ptr<const IMdsCustomValue>)) return nullptr;
  return static_cast<const std::shared_ptr<const IMdsCustomValue>*>(ptr)->get();
}

// --- text search -------------------------------------------------------------------------

namespace {

inline unsigned char AsciiLower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

}  // namespace

TTextSearcher::TTextSearcher(std::string_view needle) : fNeedle(needle), fAscii(true) {
  fLower.resize(needle.size());
  for (std::size_t i = 0; i < needle.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(needle[i]);
    if (c >= 0x80) fAscii = false;
    fLower[i] = static_cast<char>(AsciiLower(c));
  }
}

bool TTextSearcher::In(const void* ptr, std::size_t len) const {
  if (fNeedle.empty()) return true;
  const auto* hay = static_cast<const unsigned char*>(ptr);
  if (fAscii) {
    // An ASCII match in UTF-8 is a real match (continuation bytes are never
    // ASCII). Only when none is found and the text has other characters may
    // case folding still find one (the Kelvin sign folds to "k").
    const std::size_t m = fLower.size();
    const auto* nd = reinterpret_cast<const unsigned char*>(fLower.data());
    const unsigned char first = nd[0];
    bool high = false;
    if (len >= m) {
      const std::size_t last = len - m;
      for (std::size_t i = 0; i <= last; ++i) {
        unsigned char c = hay[i];
        if (c >= 0x80) high = true;
        if (AsciiLower(c) != first) continue;
        std::size_t k = 1;
        while (k < m && AsciiLower(hay[i + k]) == nd[k]) ++k;
        if (k == m) return true;
      }
      for (std::size_t i = last + 1; !high && i < len; ++i) high = hay[i] >= 0x80;
    } else {
      for (std::size_t i = 0; !high && i < len; ++i) high = hay[i] >= 0x80;
    }
    if (!high) return false;
  }
  return platform::FindText(std::string_view(reinterpret_cast<const char*>(hay), len), fNeedle) !=
         std::string_view::npos;
}

std::size_t MemSearch(const void* hay, std::size_t hayLen, const void* needle,
                      std::size_t needleLen) noexcept {
  std::string_view h(static_cast<const char*>(hay), hayLen);
  std::string_view n(static_cast<const char*>(needle), needleLen);
  return h.find(n);
}

// --- TAnsiStringList ---------------------------------------------------------------------

int TAnsiStringList::Compare(std::string_view a, std::string_view b) const {
  if (fCaseSensitive) {
    int r = a.compare(b);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
  }
  return platform::CompareText(a, b);
}

void TAnsiStringList::SetSorted(bool sorted) {
  if (sorted == fSorted) return;
  fSorted = sorted;
  if (fSorted)
    std::stable_sort(
        fItems.begin(), fItems.end(),
        [this](const std::string& a, const std::string& b) { return Compare(a, b) < 0; });
}

void TAnsiStringList::SetCaseSensitive(bool value) {
  if (value == fCaseSensitive) return;
  fCaseSensitive = value;
  if (fSorted) {
    fSorted = false;
    SetSorted(true);
  }
}

const std::string& TAnsiStringList::operator[](int index) const {
  if (index < 0 || index >= Count()) MdsError("IndexOutOfRange", {index, Count() - 1});
  return fItems[static_cast<std::size_t>(index)];
}

int TAnsiStringList::Add(std::string value) {
  if (!fSorted) {
    fItems.push_back(std::move(value));
    return Count() - 1;
  }
  auto it = std::upper_bound(
      fItems.begin(), fItems.end(), value,
      [this](const std::string& a, const std::string& b) { return Compare(a, b) < 0; });
  auto pos = fItems.insert(it, std::move(value));
  return static_cast<int>(pos - fItems.begin());
}

void TAnsiStringList::Delete(int index) {
  if (index < 0 || index >= Count()) MdsError("IndexOutOfRange", {index, Count() - 1});
  fItems.erase(fItems.begin() + index);
}

int TAnsiStringList::IndexOf(std::string_view value) const {
  if (fSorted) {
    auto it = std::lower_bound(
        fItems.begin(), fItems.end(), value,
        [this](const std::string& a, std::string_view b) { return Compare(a, b) < 0; });
    if (it != fItems.end() && Compare(*it, value) == 0)
      return static_cast<int>(it - fItems.begin());
    return -1;
  }
  for (std::size_t i = 0; i < fItems.size(); ++i)
    if (Compare(fItems[i], value) == 0) return static_cast<int>(i);
  return -1;
}

std::string TAnsiStringList::GetText() const {
  std::string s;
  for (const std::string& item : fItems) {
    s += item;
    s += '\n';
  }
  return s;
}

void TAnsiStringList::SetText(std::string_view text) {
  fItems.clear();
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    Add(std::string(text.substr(start, end - start)));
    if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n')
      ++end;
    start = end + 1;
  }
}

// --- progress --------------------------------------------------------------------------------

namespace {

std::unordered_map<const void*, IMdsProgress*>& ProgressMap() {
  static std::unordered_map<const void*, IMdsProgress*> map;
  return map;
}

}  // namespace

void RegisterProgress(const void* component, IMdsProgress* progress) {
  if (progress) {
    ProgressMap()[component] = progress;
  } else {
    ProgressMap().erase(component);
  }
}

IMdsProgress* FindProgress(const void* component) {
  auto it = ProgressMap().find(component);
  return it == ProgressMap().end() ? nullptr : it->second;
}

// --- TMdsTextExporter ------------------------------------------------------------------------

std::string TMdsTextExporter::WriteCell(const TMdsRecord& record, const TMdsColumn& column) {
  return record.Format(&column);
}

std::vector<const TMdsColumn*> TMdsTextExporter::Columns(const TMdsTable& table) const {
  std::vector<const TMdsColumn*> cols;
  const TMdsColumns& all = table.GetColumns();
  for (int i = 0; i < all.Count(); ++i) {
    const TMdsColumn* c = all.GetItem(i);
    if (!VisibleOnly || c->GetVisible()) cols.push_back(c);
  }
  return cols;
}

void TMdsTextExporter::WriteField(std::ostream& out, const std::string& text) const {
  bool quote = text.find('"') != std::string::npos || text.find('\n') != std::string::npos ||
               text.find('\r') != std::string::npos ||
               (!Delimiter.empty() && text.find(Delimiter) != std::string::npos);
  if (!quote) {
    out << text;
    return;
  }
  out << '"';
  for (char c : text) {
    if (c == '"') out << '"';
    out << c;
  }
  out << '"';
}

std::int64_t TMdsTextExporter::Export(const TMdsView& view, std::ostream& out) {
  if (!view.GetTable()) return 0;
  std::vector<TMdsRecord*> records;
  records.reserve(static_cast<std::size_t>(view.GetRecordCount()));
  for (TMdsRecord* r : view.GetRecords()) records.push_back(r);
  return Export(*view.GetTable(), records, out);
}

std::int64_t TMdsTextExporter::Export(const TMdsTable& table,
                                      const std::vector<TMdsRecord*>& records, std::ostream& out) {
  const std::vector<const TMdsColumn*> cols = Columns(table);
  if (NamesLine) {
    for (std::size_t i = 0; i < cols.size(); ++i) {
      if (i) out << Delimiter;
      WriteField(out, UseDisplayLabels ? cols[i]->GetDisplayLabel() : cols[i]->GetName());
    }
    out << "\r\n";
  }
  const auto total = static_cast<std::int64_t>(records.size());
  std::int64_t written = 0;
  for (const TMdsRecord* r : records) {
    if (Progress && Progress->Cancelled()) break;
    for (std::size_t i = 0; i < cols.size(); ++i) {
      if (i) out << Delimiter;
      WriteField(out, WriteCell(*r, *cols[i]));
    }
    out << "\r\n";
    ++written;
    if (Progress && (written % 1024 == 0 || written == total)) Progress->Progress(written, total);
  }
  return written;
}

}  // namespace tarvo
