#include "host/tvDataTable.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>

#include "host/tvDataInternal.h"
#include "host/tvDataUtils.h"
#include "host/tvDataView.h"
#include "platform/core/Text.h"

namespace tarvo {

using detail::TCellSlot;
using detail::TCellStorage;
using detail::TRawCell;
using detail::TRowData;
using detail::TRowLayout;

// --- raw cells ----------------------------------------------------------------------

namespace detail {

namespace {

template <class T>
void PutFixed(TRawCell& out, T value) {
  static_assert(sizeof(T) <= sizeof(out.fixed));
  std::memcpy(out.fixed, &value, sizeof(T));
  out.size = sizeof(T);
}

template <class T>
T GetFixed(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

[[noreturn]] void CannotConvert() {
  MdsError("CannotConvertValue");
}

}  // namespace

void ConvertToRaw(const TMdsColumn& column, const Variant& value, TRawCell& out) {
  const int type = column.GetTypeCode();
  out.type = type;
  out.text.clear();
  out.custom.reset();
  out.size = 0;
  out.isNull = true;
  if (value.IsEmptyOrNull()) return;
  if (value.IsArray() && type != mtcCustom) CannotConvert();
  switch (type) {
    case mtcBoolean:
      PutFixed<std::uint8_t>(out, value.AsBoolean() ? 1 : 0);
      break;
    case mtcInt8:
    case mtcInt16:
    case mtcInt32:
    case mtcInt64: {
      std::int64_t v = value.AsInt64();
      // A value the column cannot hold is refused, never wrapped.
      if (type == mtcInt8) {
        if (v < INT8_MIN || v > INT8_MAX) CannotConvert();
        PutFixed<std::int8_t>(out, static_cast<std::int8_t>(v));
      } else if (type == mtcInt16) {
        if (v < INT16_MIN || v > INT16_MAX) CannotConvert();
        PutFixed<std::int16_t>(out, static_cast<std::int16_t>(v));
      } else if (type == mtcInt32) {
        if (v < INT32_MIN || v > INT32_MAX) CannotConvert();
        PutFixed<std::int32_t>(out, static_cast<std::int32_t>(v));
      } else {
        PutFixed<std::int64_t>(out, v);
      }
      break;
    }
    case mtcUInt8:
    case mtcUInt16:
    case mtcUInt32:
    case mtcUInt64: {
      std::uint64_t v = value.AsUInt64();
      if (type == mtcUInt8) {
        if (v > UINT8_MAX) CannotConvert();
        PutFixed<std::uint8_t>(out, static_cast<std::uint8_t>(v));
      } else if (type == mtcUInt16) {
        if (v > UINT16_MAX) CannotConvert();
        PutFixed<std::uint16_t>(out, static_cast<std::uint16_t>(v));
      } else if (type == mtcUInt32) {
        if (v > UINT32_MAX) CannotConvert();
        PutFixed<std::uint32_t>(out, static_cast<std::uint32_t>(v));
      } else {
        PutFixed<std::uint64_t>(out, v);
      }
      break;
    }
    case mtcDouble:
      PutFixed<double>(out, value.AsDouble());
      break;
    case mtcCurrency:
      PutFixed<std::int64_t>(out, value.AsCurrency());
      break;
    case mtcDateTime:
      PutFixed<double>(out, value.AsDateTime());
      break;
    case mtcDate:
    case mtcTime: {
      TTimeStamp ts;
      if (!TryDateTimeToTimeStamp(value.AsDateTime(), ts)) CannotConvert();
      PutFixed<std::int32_t>(out, type == mtcDate ? ts.Date : ts.Time);
      break;
    }
    case mtcFixed: {
      TFixed f = value.AsFixed();
      f.ToRaw(out.fixed);
      out.size = static_cast<std::uint32_t>(TFixed::kRawSize);
      break;
    }
    case mtcChars:
    case mtcString:
    case mtcWideString:
    case mtcMemo: {
      out.text = value.AsText();
      if (type == mtcChars && column.GetSize() > 0 &&
          platform::CodePointCount(out.text) > static_cast<std::size_t>(column.GetSize()))
        MdsError("ValueTooLong", {column.GetName(), column.GetSize()});
      break;
    }
    case mtcCustom: {
      if (value.Kind() == TVarKind::Custom) {
        out.custom = value.CustomValue();
      } else {
        const auto& ct = column.GetCustomType();
        if (!ct) MdsError("NoCustomType", {column.GetName()});
        out.custom = value.IsArray() ? ct->FromList(value.ArrayItems()) : ct->FromVariant(value);
      }
      if (!out.custom) return;  // the type answered "no value"
      break;
    }
    default:
      CannotConvert();
  }
  out.isNull = false;
}

int CompareCells(int type, bool hasA, const void* a, std::size_t lenA, bool hasB, const void* b,
                 std::size_t lenB) noexcept {
  if (!hasA || !hasB) return hasA == hasB ? 0 : (hasA ? 1 : -1);
  return CompareData(type, a, b, lenA, lenB);
}

Variant RawToVariant(int type, const void* p, std::size_t len) {
  if (len < FixedCellSize(type)) return Variant::Null();
  switch (type) {
    case mtcBoolean:
      return Variant(GetFixed<std::uint8_t>(p) != 0);
    case mtcInt8:
      return Variant(static_cast<long long>(GetFixed<std::int8_t>(p)));
    case mtcInt16:
      return Variant(static_cast<long long>(GetFixed<std::int16_t>(p)));
    case mtcInt32:
      return Variant(static_cast<long long>(GetFixed<std::int32_t>(p)));
    case mtcInt64:
      return Variant(static_cast<long long>(GetFixed<std::int64_t>(p)));
    case mtcUInt8:
      return Variant(static_cast<unsigned long long>(GetFixed<std::uint8_t>(p)));
    case mtcUInt16:
      return Variant(static_cast<unsigned long long>(GetFixed<std::uint16_t>(p)));
    case mtcUInt32:
      return Variant(static_cast<unsigned long long>(GetFixed<std::uint32_t>(p)));
    case mtcUInt64:
      return Variant(static_cast<unsigned long long>(GetFixed<std::uint64_t>(p)));
    case mtcDouble:
      return Variant(GetFixed<double>(p));
    case mtcCurrency:
      return Variant::Currency(GetFixed<std::int64_t>(p));
    case mtcDateTime:
      return Variant::DateTime(GetFixed<double>(p));
    case mtcDate: {
      TTimeStamp ts{0, GetFixed<std::int32_t>(p)};
      return Variant::Date(TimeStampToDateTime(ts));
    }
    case mtcTime: {
      TTimeStamp ts{GetFixed<std::int32_t>(p), kDateDelta};
      return Variant::Time(TimeStampToDateTime(ts));
    }
    case mtcFixed:
      return Variant(TFixed::FromRaw(p));
    case mtcChars:
    case mtcString:
    case mtcWideString:
    case mtcMemo:
      return Variant(std::string(static_cast<const char*>(p), len));
    case mtcCustom: {
      if (len != sizeof(std::shared_ptr<const IMdsCustomValue>)) return Variant::Null();
      return Variant::Custom(*static_cast<const std::shared_ptr<const IMdsCustomValue>*>(p));
    }
    default:
      return Variant::Null();
  }
}

bool RawIsZero(int type, const void* ptr, std::size_t len) noexcept {
  if (IsTextType(type)) return len == 0;
  if (type == mtcCustom) return false;
  const auto* p = static_cast<const unsigned char*>(ptr);
  for (std::size_t i = 0; i < len; ++i)
    if (p[i] != 0) return false;
  return true;
}

void TCellText::Assign(const char* data, std::size_t size) {
  if (size >= 0xFFFFFFFFu) MdsError("ValueTooLong", {"(text)", 0xFFFFFFFEu});
  if (size <= kInline) {
    // The source may live in this cell's own heap block: copy before freeing.
    char tmp[kInline];
    if (size) std::memcpy(tmp, data, size);
    Release();
    if (size) std::memcpy(fBuf, tmp, size);
  } else {
    char* p = new char[size];
    std::memcpy(p, data, size);
    Release();
    std::memcpy(fBuf + 4, &p, sizeof p);
  }
  fSize = static_cast<std::uint32_t>(size);
}

void TRowData::Construct(const TRowLayout& layout, std::byte* mem) {
  owned = mem == nullptr;
  block = mem ? mem : static_cast<std::byte*>(::operator new(layout.blockSize));
  std::memset(block, 0, layout.textOffset);
  for (std::uint32_t i = 0; i < layout.textCount; ++i) new (&Text(layout, i)) TCellText();
  for (std::uint32_t i = 0; i < layout.customCount; ++i)
    new (&Custom(layout, i)) std::shared_ptr<const IMdsCustomValue>();
}

void TRowData::Destroy(const TRowLayout& layout) noexcept {
  if (!block) return;
  using Ptr = std::shared_ptr<const IMdsCustomValue>;
  for (std::uint32_t i = 0; i < layout.textCount; ++i) Text(layout, i).~TCellText();
  for (std::uint32_t i = 0; i < layout.customCount; ++i) Custom(layout, i).~Ptr();
  if (owned) ::operator delete(block);
  block = nullptr;
  owned = false;
}

void TRowData::CopyValues(const TRowData& from, const TRowLayout& layout) {
  std::memcpy(block, from.block, layout.fixedSize);
  for (std::uint32_t i = 0; i < layout.textCount; ++i) Text(layout, i) = from.Text(layout, i);
  for (std::uint32_t i = 0; i < layout.customCount; ++i) Custom(layout, i) = from.Custom(layout, i);
}

void TRowData::MoveValues(TRowData& from, const TRowLayout& layout) noexcept {
  std::memcpy(block, from.block, layout.fixedSize);
  for (std::uint32_t i = 0; i < layout.textCount; ++i)
    Text(layout, i) = std::move(from.Text(layout, i));
  for (std::uint32_t i = 0; i < layout.customCount; ++i)
    Custom(layout, i) = std::move(from.Custom(layout, i));
}

}  // namespace detail

namespace {

const TRowLayout* BuildLayout(const std::vector<std::unique_ptr<TMdsColumn>>& cols) {
  auto layout = std::make_unique<TRowLayout>();
  const std::size_t n = cols.size();
  std::uint32_t offset = static_cast<std::uint32_t>((n + 7) / 8);
  layout->slots.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    TCellSlot& s = layout->slots[i];
    s.type = cols[i]->GetTypeCode();
    s.nullByte = static_cast<std::uint16_t>(i / 8);
    s.nullMask = static_cast<std::uint8_t>(1u << (i % 8));
    if (IsTextType(s.type)) {
      s.storage = TCellStorage::Text;
      s.var = layout->textCount++;
    } else if (s.type == mtcCustom) {
      s.storage = TCellStorage::Custom;
      s.var = layout->customCount++;
    } else {
      s.storage = TCellStorage::Fixed;
      s.size = FixedCellSize(s.type);
      std::uint32_t align = s.size >= 8 ? 8 : s.size;
      if (align > 1) offset = (offset + align - 1) / align * align;
      s.offset = offset;
      offset += s.size;
    }
  }
  layout->fixedSize = offset;
  auto align8 = [](std::uint32_t v) { return (v + 7) / 8 * 8; };
  static_assert(alignof(detail::TCellText) <= 8 &&
                alignof(std::shared_ptr<const IMdsCustomValue>) <= 8);
  layout->textOffset = align8(offset > 0 ? offset : 1);
  layout->customOffset = layout->textOffset +
                         layout->textCount * static_cast<std::uint32_t>(sizeof(detail::TCellText));
  layout->blockSize = layout->customOffset +
                      layout->customCount * static_cast<std::uint32_t>(
                                                sizeof(std::shared_ptr<const IMdsCustomValue>));
  detail::AddRef(layout.get());  // the table's reference
  return layout.release();
}

std::string FoldName(std::string_view name) {
  return platform::FoldCase(platform::Trim(name));
}

std::string DoubleDisplay(double v) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 15);
  return std::string(buf, res.ptr);
}

}  // namespace

std::shared_ptr<const IMdsCustomValue> IMdsCustomType::FromList(
    const std::vector<Variant>& values) const {
  (void)values;
  MdsError("CannotConvertValue");
}

// --- TMdsColumn ---------------------------------------------------------------------

TMdsColumn::TMdsColumn(TMdsTable* table, std::string name, int type, int size, int index)
    : fTable(table), fName(std::move(name)), fType(type), fSize(size), fIndex(index) {}

void TMdsColumn::Changed() {
  if (fTable) fTable->ColumnChanged();
}

void TMdsColumn::SetSize(int size) {
  if (size < 0) size = 0;
  if (size == fSize) return;
  fSize = size;
  Changed();
}

bool TMdsColumn::HasAttribute(int ordinal) const noexcept {
  return ordinal >= 0 && ordinal < 256 && fAttributes.test(static_cast<std::size_t>(ordinal));
}

void TMdsColumn::SetAttribute(int ordinal, bool on) {
  if (ordinal < 0 || ordinal >= 256) MdsError("IndexOutOfRange", {ordinal, 255});
  if (fAttributes.test(static_cast<std::size_t>(ordinal)) == on) return;
  fAttributes.set(static_cast<std::size_t>(ordinal), on);
  Changed();
}

const std::string& TMdsColumn::GetDisplayLabel() const noexcept {
  return fLabel.empty() ? fName : fLabel;
}

void TMdsColumn::SetDisplayLabel(std::string label) {
  if (label == fLabel) return;
  fLabel = std::move(label);
  Changed();
}

int TMdsColumn::GetDisplayWidth() const noexcept {
  if (fWidth > 0) return fWidth;
  switch (TypeGroup(fType)) {
    case TMdsTypeGroup::Text:
      return fSize > 0 ? std::min(fSize, 40) : 20;
    case TMdsTypeGroup::Boolean:
      return 5;
    case TMdsTypeGroup::DateTime:
      return fType == mtcDateTime ? 19 : 10;
    case TMdsTypeGroup::Numeric:
      return fType == mtcInt8 || fType == mtcUInt8 ? 4 : 12;
    default:
      return 10;
  }
}

void TMdsColumn::SetDisplayWidth(int width) {
  if (width < 0) width = 0;
  if (width == fWidth) return;
  fWidth = width;
  Changed();
}

void TMdsColumn::SetDescription(std::string text) {
  if (text == fDescription) return;
  fDescription = std::move(text);
  Changed();
}

void TMdsColumn::SetVisible(bool visible) {
  if (visible == fVisible) return;
  fVisible = visible;
  Changed();
}

void TMdsColumn::SetIsReference(bool value) {
  if (value == fIsReference) return;
  fIsReference = value;
  Changed();
}

void TMdsColumn::SetIsLookupKey(bool value) {
  if (value == fIsLookupKey) return;
  fIsLookupKey = value;
  Changed();
}

void TMdsColumn::SetLookupDisplay(TMdsColumn* column) {
  if (column && column->fTable != fTable) MdsError("ColumnNotInTable");
  if (column == this) column = nullptr;
  if (column == fLookupDisplay) return;
  fLookupDisplay = column;
  Changed();
}

void TMdsColumn::SetCellRenderer(std::shared_ptr<IMdsCellRenderer> renderer) {
  fRenderer = std::move(renderer);
  Changed();
}

void TMdsColumn::SetCustomType(std::shared_ptr<const IMdsCustomType> type) {
  fCustomType = std::move(type);
}

// --- TMdsColumns --------------------------------------------------------------------

TMdsColumn* TMdsColumns::Find(std::string_view name) const {
  auto it = fByName.find(FoldName(name));
  return it == fByName.end() ? nullptr : it->second;
}

TMdsColumn* TMdsColumns::GetName(std::string_view name) const {
  TMdsColumn* c = Find(name);
  if (!c) MdsError("ColumnNotFound", {std::string(name)});
  return c;
}

TMdsColumn* TMdsColumns::GetItem(int index) const {
  if (index < 0 || index >= Count()) MdsError("IndexOutOfRange", {index, Count() - 1});
  return fItems[static_cast<std::size_t>(index)].get();
}

TMdsColumn* TMdsColumns::Add(std::string_view name, int typeCode, int size) {
  std::string trimmed = platform::Trim(name);
  if (trimmed.empty()) MdsError("BadColumnName");
  if (!IsValidTypeCode(typeCode)) MdsError("BadColumnType", {trimmed, typeCode});
  std::string key = FoldName(trimmed);
  if (fByName.count(key)) MdsError("ColumnExists", {trimmed});
  auto column = std::unique_ptr<TMdsColumn>(
      new TMdsColumn(fTable, trimmed, typeCode, size < 0 ? 0 : size, Count()));
  TMdsColumn* raw = column.get();
  fItems.push_back(std::move(column));
  fByName.emplace(std::move(key), raw);
  fTable->ColumnAdded();
  return raw;
}

// --- TMdsRecord ---------------------------------------------------------------------

namespace {

// Records of every table come from one pool of size classes (multiples of 8
// bytes up to 1 KiB) carved from large slabs: no per-record bookkeeping, so
// rows lie densely and a scan reads little memory. Freed records go back to
// their class. Locked, since rows may be prepared on worker threads. Under
// AddressSanitizer the pool steps aside so that every record is checked.
class TRecordPool {
 public:
  static constexpr std::size_t kMaxSize = 1024;
  static constexpr std::size_t kSlab = 256 * 1024;

  static TRecordPool& Instance() {
    // Never destroyed: records may be freed during static destruction.
    static TRecordPool* pool = new TRecordPool;
    return *pool;
  }
  void* Allocate(std::size_t size, std::uint16_t& sizeClass) {
#if defined(__SANITIZE_ADDRESS__)
    sizeClass = 0;
    return ::operator new(size);
#else
    if (size > kMaxSize) {
      sizeClass = 0;
      return ::operator new(size);
    }
    const std::size_t cls = (size + 7) / 8;
    sizeClass = static_cast<std::uint16_t>(cls);
    std::lock_guard<std::mutex> lock(fLock);
    if (void* p = fFree[cls]) {
      std::memcpy(&fFree[cls], p, sizeof(void*));
      return p;
    }
    const std::size_t bytes = cls * 8;
    if (fLeft < bytes) {
      fSlabs.push_back(std::make_unique<std::byte[]>(kSlab));
      fNext = fSlabs.back().get();
      fLeft = kSlab;
    }
    void* p = fNext;
    fNext += bytes;
    fLeft -= bytes;
    return p;
#endif
  }
  void Free(void* p, std::uint16_t sizeClass) noexcept {
    if (sizeClass == 0) {
      ::operator delete(p);
      return;
    }
    std::lock_guard<std::mutex> lock(fLock);
    std::memcpy(p, &fFree[sizeClass], sizeof(void*));
    fFree[sizeClass] = p;
  }

 private:
  std::mutex fLock;
  void* fFree[kMaxSize / 8 + 1] = {};
  std::vector<std::unique_ptr<std::byte[]>> fSlabs;
  std::byte* fNext = nullptr;
  std::size_t fLeft = 0;
};

}  // namespace

TMdsRecord* TMdsRecord::Create(TMdsTable* table, const TRowLayout* layout) {
  static_assert(sizeof(TMdsRecord) % 8 == 0, "the row block behind a record must stay aligned");
  // The tail holds at least a pointer: the address of the row once it moves.
  const std::size_t size = sizeof(TMdsRecord) + std::max<std::size_t>(layout->blockSize, 8);
  std::uint16_t sizeClass = 0;
  void* mem = TRecordPool::Instance().Allocate(size, sizeClass);
  TMdsRecord* r =
      new (mem) TMdsRecord(table, layout, static_cast<std::byte*>(mem) + sizeof(TMdsRecord));
  r->fSizeClass = sizeClass;
  return r;
}

void TMdsRecord::operator delete(TMdsRecord* record, std::destroying_delete_t) noexcept {
  const std::uint16_t sizeClass = record->fSizeClass;
  record->~TMdsRecord();
  TRecordPool::Instance().Free(record, sizeClass);
}

TMdsRecord::TMdsRecord(TMdsTable* table, const TRowLayout* layout, std::byte* tail)
    : fTable(table) {
  fPlace.layout = layout;
  TRowData posted;
  posted.Construct(*layout, tail);
  detail::AddRef(layout);  // a detached record keeps its layout
}

TMdsRecord::~TMdsRecord() {
  const TRowLayout* layout = Layout();
  Cancel();
  Posted().Destroy(*layout);
  if (fState == State::Detached) detail::Release(layout);
}

void TMdsRecord::SetPostedBlock(std::byte* block) noexcept {
  std::memcpy(reinterpret_cast<std::byte*>(this + 1), &block, sizeof block);
  fOwnsBlock = true;
}

void TMdsRecord::ForeignColumn(const TMdsColumn* column) {
  if (!column) MdsError("ColumnNotFound", {"(none)"});
  MdsError("ColumnNotInTable");
}

void TMdsRecord::Migrate(const TRowLayout* to) {
  // The new row cannot grow in place behind the record: it gets a block of
  // its own.
  const TRowLayout* from = Layout();
  auto move = [&](TRowData& data) {
    TRowData fresh;
    fresh.Construct(*to, nullptr);
    const std::size_t n = std::min(from->slots.size(), to->slots.size());
    for (std::size_t i = 0; i < n; ++i) {
      const TCellSlot& a = from->slots[i];
      const TCellSlot& b = to->slots[i];
      if (!(data.Fixed()[a.nullByte] & a.nullMask)) continue;
      fresh.Fixed()[b.nullByte] |= b.nullMask;
      switch (a.storage) {
        case TCellStorage::Fixed:
          std::memcpy(fresh.Fixed() + b.offset, data.Fixed() + a.offset, a.size);
          break;
        case TCellStorage::Text:
          fresh.Text(*to, b.var) = std::move(data.Text(*from, a.var));
          break;
        case TCellStorage::Custom:
          fresh.Custom(*to, b.var) = std::move(data.Custom(*from, a.var));
          break;
      }
    }
    data.Destroy(*from);
    data = fresh;
  };
  TRowData posted = Posted();
  move(posted);
  SetPostedBlock(posted.block);
  if (fEdit) move(*fEdit);
  if (fState == State::Detached) {
    detail::AddRef(to);
    detail::Release(from);
    fPlace.layout = to;
  }
  // A record of the table follows the table's layout, which the table
  // switches once every record has moved.
}

void TMdsRecord::StoreValue(TRowData& d, const TMdsColumn* column, const Variant& value) const {
  if (!column || column->GetTable() != fTable) ForeignColumn(column);
  const auto idx = static_cast<std::size_t>(column->GetIndex());
  if (idx >= Layout()->slots.size()) MdsError("ColumnNotInTable");  // SetDataC migrates first
  const TCellSlot& s = Layout()->slots[idx];
  TRawCell cell;
  detail::ConvertToRaw(*column, value, cell);  // may raise: the cell stays as it was
  if (cell.isNull) {
    d.Fixed()[s.nullByte] &= static_cast<std::uint8_t>(~s.nullMask);
    if (s.storage == TCellStorage::Text) d.Text(*Layout(), s.var).Clear();
    if (s.storage == TCellStorage::Custom) d.Custom(*Layout(), s.var).reset();
    return;
  }
  switch (s.storage) {
    case TCellStorage::Fixed:
      std::memcpy(d.Fixed() + s.offset, cell.fixed, s.size);
      break;
    case TCellStorage::Text:
      d.Text(*Layout(), s.var).Assign(cell.text.data(), cell.text.size());
      break;
    case TCellStorage::Custom:
      d.Custom(*Layout(), s.var) = std::move(cell.custom);
      break;
  }
  d.Fixed()[s.nullByte] |= s.nullMask;
}

Variant TMdsRecord::ValueOf(const TRowData& d, const TMdsColumn* column) const {
  const void* p = nullptr;
  std::size_t len = 0;
  if (!ReadRaw(d, column, p, len)) return Variant::Null();
  if (column->HasAttribute(mcaZeroIsNull) && detail::RawIsZero(column->GetTypeCode(), p, len))
    return Variant::Null();
  return detail::RawToVariant(column->GetTypeCode(), p, len);
}

Variant TMdsRecord::GetDataC(const TMdsColumn* column) const {
  return ValueOf(fEdit ? *fEdit : Posted(), column);
}

Variant TMdsRecord::GetDataN(std::string_view name) const {
  return GetDataC(fTable->GetColumns().GetName(name));
}

bool TMdsRecord::GetIsNullC(const TMdsColumn* column) const {
  const void* p = nullptr;
  std::size_t len = 0;
  if (!GetDataP(column, p, len)) return true;
  return column->HasAttribute(mcaZeroIsNull) && detail::RawIsZero(column->GetTypeCode(), p, len);
}

void TMdsRecord::SetDataC(const TMdsColumn* column, const Variant& value) {
  if (fState == State::Deleted) MdsError("RecordDeleted");
  if (!column || column->GetTable() != fTable) ForeignColumn(column);
  if (static_cast<std::size_t>(column->GetIndex()) >= Layout()->slots.size()) {
    // The column was added after this detached record was made: bring the
    // record up to the table's layout first.
    Migrate(fTable->fLayout);
  }
  if (fEdit) {
    StoreValue(*fEdit, column, value);
    return;
  }
  if (fState == State::Detached) {
    TRowData posted = Posted();
    StoreValue(posted, column, value);
    return;
  }
  Edit();
  try {
    StoreValue(*fEdit, column, value);
    Post();
  } catch (...) {
    Cancel();
    throw;
  }
}

void TMdsRecord::SetDataN(std::string_view name, const Variant& value) {
  SetDataC(fTable->GetColumns().GetName(name), value);
}

void TMdsRecord::Edit() {
  if (fState == State::Deleted) MdsError("RecordDeleted");
  if (fEdit) return;
  auto pending = std::make_unique<TRowData>();
  pending->Construct(*Layout(), nullptr);
  try {
    pending->CopyValues(Posted(), *Layout());
  } catch (...) {
    pending->Destroy(*Layout());
    throw;
  }
  fEdit = pending.release();
}

void TMdsRecord::EndEdit() noexcept {
  Posted().MoveValues(*fEdit, *Layout());
  Cancel();
}

void TMdsRecord::Post() {
  if (fState == State::Deleted) MdsError("RecordDeleted");
  if (!fEdit) return;
  if (fState == State::Detached) {
    EndEdit();
    return;
  }
  fTable->PostRecord(this);
}

void TMdsRecord::Cancel() noexcept {
  if (!fEdit) return;
  fEdit->Destroy(*Layout());
  delete fEdit;
  fEdit = nullptr;
}

std::string TMdsRecord::Format(const TMdsColumn* column) const {
  Variant v = GetDataC(column);
  if (v.IsEmptyOrNull()) return std::string();
  switch (column->GetTypeCode()) {
    case mtcDouble:
      return DoubleDisplay(v.DoubleValue());
    case mtcDateTime:
    case mtcDate:
    case mtcTime:
      return detail::FormatDisplayDate(column->GetTypeCode(), v.DoubleValue());
    default:
      return VarToStr(v);
  }
}

// --- TMdsTable ----------------------------------------------------------------------

TMdsTable::TMdsTable(std::string name) : fName(std::move(name)), fColumns(this) {
  fLayouts.push_back(BuildLayout({}));
  fLayout = fLayouts.back();
}

TMdsTable::~TMdsTable() {
  fDying = true;
  TMdsSubject* self = this;
  fSextons.ForEach([&](IMdsSexton* s) { s->SubjectDestroyed(self); });
  if (!fDeacons.Empty()) {
    for (TMdsRecord* r : fRecords) NotifyRecordDeath(r);
  }
  ForEachView([](TMdsView* v) { v->TableDying(); });
  fViews.clear();
  fDefaultView.reset();
  fKeyIndex.reset();
  for (TMdsRecord* r : fRecords) delete r;
  fRecords.clear();
  for (const TRowLayout* layout : fLayouts) detail::Release(layout);
}

template <class F>
void TMdsTable::ForEachView(F&& f) {
  ++fViewWalk;
  struct Done {
    TMdsTable* t;
    ~Done() {
      if (--t->fViewWalk == 0 && t->fViewsDirty) {
        t->fViews.erase(std::remove(t->fViews.begin(), t->fViews.end(), nullptr), t->fViews.end());
        t->fViewsDirty = false;
      }
    }
  } done{this};
  const std::size_t n = fViews.size();
  for (std::size_t i = 0; i < n && i < fViews.size(); ++i)
    if (TMdsView* v = fViews[i]) f(v);
}

void TMdsTable::RegisterView(TMdsView* view) {
  if (std::find(fViews.begin(), fViews.end(), view) == fViews.end()) fViews.push_back(view);
}

void TMdsTable::UnregisterView(TMdsView* view) {
  auto it = std::find(fViews.begin(), fViews.end(), view);
  if (it == fViews.end()) return;
  if (fViewWalk > 0) {
    *it = nullptr;
    fViewsDirty = true;
  } else {
    fViews.erase(it);
  }
}

TMdsRecord* TMdsTable::GetRecord(int index) const {
  if (index < 0 || index >= GetRecordCount())
    MdsError("IndexOutOfRange", {index, GetRecordCount() - 1});
  return fRecords[static_cast<std::size_t>(index)];
}

std::unique_ptr<TMdsRecord> TMdsTable::NewRow() const {
  return std::unique_ptr<TMdsRecord>(TMdsRecord::Create(const_cast<TMdsTable*>(this), fLayout));
}

void TMdsTable::ColumnAdded() {
  const TRowLayout* layout = BuildLayout(fColumns.fItems);
  fLayouts.push_back(layout);
  for (TMdsRecord* r : fRecords) r->Migrate(layout);
  fLayout = layout;
  ForEachView([](TMdsView* v) { v->TableColumnsChanged(); });
}

void TMdsTable::ColumnChanged() {
  ForEachView([](TMdsView* v) { v->TableColumnsChanged(); });
}

TMdsRecord* TMdsTable::FindEqualKey(const TMdsRecord* record, const TRowData& data) const {
  if (fKey.empty() || !fKeyIndex) return nullptr;
  auto cmp = [&](const TMdsRecord* other) {
    for (const TMdsColumn* c : fKey) {
      const void *pa = nullptr, *pb = nullptr;
      std::size_t la = 0, lb = 0;
      bool ha = other->PostedRaw(c, pa, la);
      bool hb = record->ReadRaw(data, c, pb, lb);
      int r = detail::CompareCells(c->GetTypeCode(), ha, pa, la, hb, pb, lb);
      if (r != 0) return r;
    }
    return 0;
  };
  // Keys are unique, so at most the record itself and one other are equal.
  const int count = fKeyIndex->GetRecordCount();
  for (int i = static_cast<int>(fKeyIndex->LowerBound(cmp)); i < count; ++i) {
    TMdsRecord* other = fKeyIndex->GetRecords().Item(i);
    if (cmp(other) != 0) break;
    if (other != record) return other;
  }
  return nullptr;
}

void TMdsTable::CheckKeyFree(const TMdsRecord* record, const TRowData& data) const {
  if (FindEqualKey(record, data)) MdsError("KeyViolation", {fName});
}

TMdsRecord* TMdsTable::Append(std::unique_ptr<TMdsRecord>&& record) {
  fUIThread.CalledOnValidThread("TMdsTable::Append");
  if (!record || record->fTable != this || record->fState != TMdsRecord::State::Detached)
    MdsError("RecordNotInTable");
  if (record->Layout() != fLayout) record->Migrate(fLayout);
  if (record->fEdit) record->EndEdit();
  CheckKeyFree(record.get(), record->Posted());
  // Make room first, so that nothing can fail once the record is the table's
  // (growing geometrically: reserving one more each time would copy all).
  if (fRecords.size() == fRecords.capacity()) fRecords.reserve(fRecords.capacity() * 2 + 16);
  if (fFreeSlots.empty() && fBySlot.size() == fBySlot.capacity())
    fBySlot.reserve(fBySlot.capacity() * 2 + 16);
  TMdsRecord* r = record.release();
  Insert(r);
  return r;
}

void TMdsTable::Insert(TMdsRecord* r) {
  fUIThread.CalledOnValidThread("TMdsTable::Insert");
  std::uint32_t slot;
  if (!fFreeSlots.empty()) {
    slot = fFreeSlots.back();
    fFreeSlots.pop_back();
    fBySlot[slot] = r;
  } else {
    slot = static_cast<std::uint32_t>(fBySlot.size());
    fBySlot.push_back(r);
  }
  if (fNextSeq == UINT32_MAX) RenumberSequence();
  detail::Release(r->fPlace.layout);  // the table's own reference keeps it now
  r->fPlace.at.slot = slot;
  r->fPlace.at.index = static_cast<std::uint32_t>(fRecords.size());
  r->fSeq = fNextSeq++;
  r->fState = TMdsRecord::State::InTable;
  fRecords.push_back(r);
  if (fKeyIndex) fKeyIndex->RecordInserted(r);
  ForEachView([r](TMdsView* v) { v->RecordInserted(r); });
}

void TMdsTable::PostRecord(TMdsRecord* r) {
  fUIThread.CalledOnValidThread("TMdsTable::Post");
  CheckKeyFree(r, *r->fEdit);
  r->EndEdit();
  if (fKeyIndex) fKeyIndex->RecordChanged(r);
  ForEachView([r](TMdsView* v) { v->RecordChanged(r); });
}

void TMdsTable::NotifyRecordDeath(TMdsRecord* record) {
  TMdsSubject* subject = record;
  fDeacons.ForEach([&](IMdsSexton* d) { d->SubjectDestroyed(subject); });
}

void TMdsTable::Delete(TMdsRecord* record) {
  fUIThread.CalledOnValidThread("TMdsTable::Delete");
  if (!record || record->fTable != this || record->fState != TMdsRecord::State::InTable)
    MdsError("RecordNotInTable");
  ForEachView([record](TMdsView* v) { v->RecordDeleting(record); });
  if (fKeyIndex) fKeyIndex->RecordDeleting(record);
  NotifyRecordDeath(record);
  const std::uint32_t index = record->fPlace.at.index;
  TMdsRecord* last = fRecords.back();
  fRecords[index] = last;
  last->fPlace.at.index = index;
  fRecords.pop_back();
  fBySlot[record->fPlace.at.slot] = nullptr;
  fFreeSlots.push_back(record->fPlace.at.slot);
  record->fState = TMdsRecord::State::Deleted;
  delete record;
}

void TMdsTable::Clear() {
  fUIThread.CalledOnValidThread("TMdsTable::Clear");
  if (fRecords.empty()) return;
  if (!fDeacons.Empty()) {
    for (TMdsRecord* r : fRecords) NotifyRecordDeath(r);
  }
  if (fKeyIndex) fKeyIndex->TableCleared();
  ForEachView([](TMdsView* v) { v->TableCleared(); });
  std::vector<TMdsRecord*> records;
  records.swap(fRecords);
  fBySlot.clear();
  fFreeSlots.clear();
  for (TMdsRecord* r : records) delete r;
}

std::string TMdsTable::GetPrimaryKey() const {
  std::vector<std::string> names;
  for (const TMdsColumn* c : fKey) names.push_back(c->GetName());
  return Unite(names, ",");
}

void TMdsTable::SetPrimaryKey(std::string_view columns) {
  std::vector<const TMdsColumn*> key;
  for (const std::string& name : Split(columns, ',')) {
    const TMdsColumn* c = fColumns.GetName(name);
    if (std::find(key.begin(), key.end(), c) == key.end()) key.push_back(c);
  }
  if (key == fKey) return;
  std::unique_ptr<TMdsView> index;
  if (!key.empty()) {
    index = std::make_unique<TMdsView>(this);
    UnregisterView(index.get());  // the key index is the table's own, not a view
    index->fInternal = true;
    for (const TMdsColumn* c : key) index->fOrderBy.push_back({c, false});
    index->fOrder = index->fOrderBy;
    index->fOpen = true;
    index->Rebuild();
    // Equal keys are neighbours in key order.
    TMdsRecord* previous = nullptr;
    for (TMdsRecord* r : index->GetRecords()) {
      if (previous) {
        bool same = true;
        for (const TMdsColumn* c : key) {
          const void *pa = nullptr, *pb = nullptr;
          std::size_t la = 0, lb = 0;
          bool ha = previous->PostedRaw(c, pa, la), hb = r->PostedRaw(c, pb, lb);
          if (detail::CompareCells(c->GetTypeCode(), ha, pa, la, hb, pb, lb) != 0) {
            same = false;
            break;
          }
        }
        if (same) MdsError("DuplicateKeys", {fName});
      }
      previous = r;
    }
  }
  fKey = std::move(key);
  fKeyIndex = std::move(index);
  ForEachView([](TMdsView* v) { v->TableKeyChanged(); });
}

TMdsRecord* TMdsTable::FindKey(std::span<const Variant> values) const {
  if (fKey.empty() || !fKeyIndex || values.size() != fKey.size()) return nullptr;
  std::vector<TRawCell> cells(values.size());
  try {
    for (std::size_t i = 0; i < values.size(); ++i)
      detail::ConvertToRaw(*fKey[i], values[i], cells[i]);
  } catch (const EMdsError&) {
    return nullptr;  // a value the key column cannot hold matches no record
  }
  auto cmp = [&](const TMdsRecord* r) {
    for (std::size_t i = 0; i < fKey.size(); ++i) {
      const void* p = nullptr;
      std::size_t len = 0;
      bool has = r->PostedRaw(fKey[i], p, len);
      int c = detail::CompareCells(fKey[i]->GetTypeCode(), has, p, len, !cells[i].isNull,
                                   cells[i].Ptr(), cells[i].Len());
      if (c != 0) return c;
    }
    return 0;
  };
  std::uint32_t idx = fKeyIndex->LowerBound(cmp);
  if (static_cast<int>(idx) >= fKeyIndex->GetRecordCount()) return nullptr;
  TMdsRecord* r = fKeyIndex->GetRecords().Item(static_cast<int>(idx));
  return cmp(r) == 0 ? r : nullptr;
}

void TMdsTable::UnlockControls() {
  if (fFreeze <= 0) return;
  if (--fFreeze > 0) return;
  ForEachView([](TMdsView* v) { v->BatchEnded(); });
}

TMdsView* TMdsTable::GetDefaultView() {
  if (!fDefaultView) {
    fDefaultView = std::make_unique<TMdsView>(this);
    fDefaultView->Open();
  }
  return fDefaultView.get();
}

void TMdsTable::RenumberSequence() {
  // Four billion appends in one table's life: number the records afresh in
  // the same order, so that views keep their order and ties their sense.
  std::vector<TMdsRecord*> records = InsertionOrder();
  std::uint32_t seq = 1;
  for (TMdsRecord* r : records) r->fSeq = seq++;
  fNextSeq = seq;
}

std::vector<TMdsRecord*> TMdsTable::InsertionOrder() const {
  std::vector<TMdsRecord*> records = fRecords;
  std::sort(records.begin(), records.end(),
            [](const TMdsRecord* a, const TMdsRecord* b) { return a->fSeq < b->fSeq; });
  return records;
}

std::vector<TMdsRecord*> TMdsTable::SelectA(std::string_view columns,
                                            std::span<const Variant> values) {
  std::vector<const TMdsColumn*> cols;
  for (const std::string& name : Split(columns, ',')) cols.push_back(fColumns.GetName(name));
  if (cols.size() != values.size())
    MdsError("IndexOutOfRange", {static_cast<int>(values.size()), static_cast<int>(cols.size())});
  std::vector<TRawCell> cells(values.size());
  try {
    for (std::size_t i = 0; i < values.size(); ++i)
      detail::ConvertToRaw(*cols[i], values[i], cells[i]);
  } catch (const EMdsError&) {
    return {};  // a value a column cannot hold matches no record
  }
  auto cmpCol = [&](const TMdsRecord* r, std::size_t i) {
    const void* p = nullptr;
    std::size_t len = 0;
    bool has = r->PostedRaw(cols[i], p, len);
    return detail::CompareCells(cols[i]->GetTypeCode(), has, p, len, !cells[i].isNull,
                                cells[i].Ptr(), cells[i].Len());
  };
  auto matches = [&](const TMdsRecord* r) {
    for (std::size_t i = 0; i < cols.size(); ++i)
      if (cmpCol(r, i) != 0) return false;
    return true;
  };
  std::vector<TMdsRecord*> result;
  // Indexed: the columns are the leading key columns in key order.
  bool leading = fKeyIndex && !cols.empty() && cols.size() <= fKey.size();
  for (std::size_t i = 0; leading && i < cols.size(); ++i) leading = cols[i] == fKey[i];
  if (leading) {
    auto cmp = [&](const TMdsRecord* r) {
      for (std::size_t i = 0; i < cols.size(); ++i)
        if (int c = cmpCol(r, i)) return c;
      return 0;
    };
    const int count = fKeyIndex->GetRecordCount();
    for (int i = static_cast<int>(fKeyIndex->LowerBound(cmp)); i < count; ++i) {
      TMdsRecord* r = fKeyIndex->GetRecords().Item(i);
      if (cmp(r) != 0) break;
      result.push_back(r);
    }
    return result;
  }
  return SelectA([&](const TMdsRecord& r) { return matches(&r); });
}

std::vector<TMdsRecord*> TMdsTable::SelectA(
    const std::function<bool(const TMdsRecord&)>& predicate) {
  std::vector<TMdsRecord*> result;
  if (fKeyIndex) {
    for (TMdsRecord* r : fKeyIndex->GetRecords())
      if (predicate(*r)) result.push_back(r);
    return result;
  }
  for (TMdsRecord* r : fRecords)
    if (predicate(*r)) result.push_back(r);
  std::sort(result.begin(), result.end(),
            [](const TMdsRecord* a, const TMdsRecord* b) { return a->fSeq < b->fSeq; });
  return result;
}

// --- stores -------------------------------------------------------------------------

TMdsStore* TMdsStore::Create(std::string name) {
  TMdsStores& stores = Stores();
  if (stores.Find(name)) MdsError("StoreExists", {name});
  stores.fStores.push_back(std::unique_ptr<TMdsStore>(new TMdsStore(std::move(name))));
  return stores.fStores.back().get();
}

TMdsStore::~TMdsStore() {
  // Later tables may refer to earlier ones: destroy in reverse order.
  while (!fTables.empty()) fTables.pop_back();
}

TMdsTable* TMdsStore::GetItem(int index) const {
  if (index < 0 || index >= Count()) MdsError("IndexOutOfRange", {index, Count() - 1});
  return fTables[static_cast<std::size_t>(index)].get();
}

TMdsTable* TMdsStore::Find(std::string_view name) const {
  for (const auto& t : fTables)
    if (platform::SameText(t->GetName(), name)) return t.get();
  return nullptr;
}

TMdsTable* TMdsStore::GetTable(std::string_view name) const {
  TMdsTable* t = Find(name);
  if (!t) MdsError("TableNotFound", {std::string(name)});
  return t;
}

TMdsTable* TMdsStore::Add(std::string name) {
  if (Find(name)) MdsError("TableExists", {name});
  auto table = std::make_unique<TMdsTable>(std::move(name));
  table->fStore = this;
  fTables.push_back(std::move(table));
  return fTables.back().get();
}

void TMdsStore::Remove(TMdsTable* table) {
  auto it = std::find_if(fTables.begin(), fTables.end(),
                         [table](const auto& t) { return t.get() == table; });
  if (it == fTables.end()) return;
  // Take it out of the list first so that sextons see a store without it.
  std::unique_ptr<TMdsTable> dying = std::move(*it);
  fTables.erase(it);
}

TMdsStore* TMdsStores::GetItem(int index) const {
  if (index < 0 || index >= Count()) MdsError("IndexOutOfRange", {index, Count() - 1});
  return fStores[static_cast<std::size_t>(index)].get();
}

TMdsStore* TMdsStores::Find(std::string_view name) const {
  for (const auto& s : fStores)
    if (platform::SameText(s->GetName(), name)) return s.get();
  return nullptr;
}

TMdsStore* TMdsStores::GetStore(std::string_view name) const {
  TMdsStore* s = Find(name);
  if (!s) MdsError("StoreNotFound", {std::string(name)});
  return s;
}

void TMdsStores::Remove(TMdsStore* store) {
  auto it = std::find_if(fStores.begin(), fStores.end(),
                         [store](const auto& s) { return s.get() == store; });
  if (it == fStores.end()) return;
  std::unique_ptr<TMdsStore> dying = std::move(*it);
  fStores.erase(it);
}

TMdsStores& Stores() {
  static TMdsStores stores;
  return stores;
}

}  // namespace tarvo
