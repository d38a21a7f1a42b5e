// Saving tables to streams and loading them back.
//
// Layout (little-endian):
//   "TVMD"  uint16 version (1)  uint8 flags (bit 0: full definitions)
//   uint32 column count, then per column:
//     string name, int32 type code, int32 size
//     full only: int32 display width, string label, string description,
//                uint8 bits (1 visible, 2 reference, 4 lookup key),
//                string lookup display column name, 32 bytes of attributes
//   full only: string primary key
//   uint32 record count, then per record: the null bitmap (a set bit: has a
//   value), then each non-null cell: fixed cells as their raw bytes, texts as
//   strings, custom values as the string of their text.
//   A string is a uint32 byte count followed by the bytes.
#include <cstring>
#include <istream>
#include <ostream>

#include "host/tvDataInternal.h"
#include "host/tvDataTable.h"
#include "host/tvDataUtils.h"
#include "host/tvDataView.h"
#include "platform/core/Text.h"

namespace tarvo {

namespace {

constexpr char kMagic[4] = {'T', 'V', 'M', 'D'};
constexpr std::uint16_t kVersion = 1;
constexpr std::uint32_t kMaxColumns = 65536;
constexpr std::uint32_t kMaxString = 1u << 30;

class Writer {
 public:
  explicit Writer(std::ostream& out) : fOut(out) {}
  void Bytes(const void* p, std::size_t n) {
    fOut.write(static_cast<const char*>(p), static_cast<std::streamsize>(n));
    if (!fOut) MdsError("StreamWrite");
  }
  template <class T>
  void Put(T v) {
    Bytes(&v, sizeof v);
  }
  void Str(std::string_view s) {
    if (s.size() > kMaxString) MdsError("StreamWrite");
    Put<std::uint32_t>(static_cast<std::uint32_t>(s.size()));
    Bytes(s.data(), s.size());
  }

 private:
  std::ostream& fOut;
};

class Reader {
 public:
  explicit Reader(std::istream& in) : fIn(in) {}
  void Bytes(void* p, std::size_t n) {
    fIn.read(static_cast<char*>(p), static_cast<std::streamsize>(n));
    if (static_cast<std::size_t>(fIn.gcount()) != n) Bad("unexpected end of data");
  }
  template <class T>
  T Get() {
    T v;
    Bytes(&v, sizeof v);
    return v;
  }
  std::string Str() {
    const auto n = Get<std::uint32_t>();
    if (n > kMaxString) Bad("a text is too long");
    // Read in pieces: a damaged length must not allocate gigabytes up front.
    std::string s;
    char buf[65536];
    std::uint32_t left = n;
    while (left > 0) {
      const std::uint32_t piece = left < sizeof buf ? left : static_cast<std::uint32_t>(sizeof buf);
      Bytes(buf, piece);
      s.append(buf, piece);
      left -= piece;
    }
    return s;
  }
  [[noreturn]] static void Bad(const char* what) { MdsError("BadStream", {what}); }

 private:
  std::istream& fIn;
};

struct StoredColumn {
  std::string name;
  int type = 0;
  int size = 0;
  bool full = false;
  int width = 0;
  std::string label, description, lookupDisplay;
  bool visible = true, reference = false, lookupKey = false;
  std::bitset<256> attributes;
};

}  // namespace

void TMdsTable::SaveToStream(std::ostream& stream, bool full) const {
  Writer w(stream);
  w.Bytes(kMagic, 4);
  w.Put<std::uint16_t>(kVersion);
  w.Put<std::uint8_t>(full ? 1 : 0);
  const int n = fColumns.Count();
  w.Put<std::uint32_t>(static_cast<std::uint32_t>(n));
  for (int i = 0; i < n; ++i) {
    const TMdsColumn* c = fColumns.GetItem(i);
    w.Str(c->GetName());
    w.Put<std::int32_t>(c->GetTypeCode());
    w.Put<std::int32_t>(c->GetSize());
    if (!full) continue;
    w.Put<std::int32_t>(c->fWidth);
    w.Str(c->fLabel);
    w.Str(c->GetDescription());
    w.Put<std::uint8_t>(static_cast<std::uint8_t>(
        (c->GetVisible() ? 1 : 0) | (c->GetIsReference() ? 2 : 0) | (c->GetIsLookupKey() ? 4 : 0)));
    w.Str(c->GetLookupDisplay() ? c->GetLookupDisplay()->GetName() : std::string());
    unsigned char bits[32] = {};
    for (int b = 0; b < 256; ++b)
      if (c->GetAttributes().test(static_cast<std::size_t>(b))) bits[b / 8] |= 1u << (b % 8);
    w.Bytes(bits, sizeof bits);
  }
  if (full) w.Str(GetPrimaryKey());
  const std::vector<TMdsRecord*> records = InsertionOrder();
  w.Put<std::uint32_t>(static_cast<std::uint32_t>(records.size()));
  const std::size_t nullBytes = (static_cast<std::size_t>(n) + 7) / 8;
  std::vector<unsigned char> bitmap(nullBytes);
  for (const TMdsRecord* r : records) {
    std::fill(bitmap.begin(), bitmap.end(), 0);
    for (int i = 0; i < n; ++i) {
      const void* p = nullptr;
      std::size_t len = 0;
      if (r->PostedRaw(fColumns.GetItem(i), p, len)) bitmap[i / 8] |= 1u << (i % 8);
    }
    if (nullBytes) w.Bytes(bitmap.data(), nullBytes);
    for (int i = 0; i < n; ++i) {
      const TMdsColumn* c = fColumns.GetItem(i);
      const void* p = nullptr;
      std::size_t len = 0;
      if (!r->PostedRaw(c, p, len)) continue;
      if (IsTextType(c->GetTypeCode())) {
        w.Str(std::string_view(static_cast<const char*>(p), len));
      } else if (c->GetTypeCode() == mtcCustom) {
        const IMdsCustomValue* v = BufferToIntf(p, len);
        w.Str(v ? v->Text() : std::string());
      } else {
        w.Bytes(p, len);
      }
    }
  }
  stream.flush();
  if (!stream) MdsError("StreamWrite");
}

void TMdsTable::LoadFromStream(std::istream& stream,
                               const std::function<bool(const TMdsRecord&)>& accept) {
  Reader rd(stream);
  char magic[4];
  rd.Bytes(magic, 4);
  if (std::memcmp(magic, kMagic, 4) != 0) Reader::Bad("not table data");
  if (rd.Get<std::uint16_t>() != kVersion) Reader::Bad("unknown version");
  const bool full = (rd.Get<std::uint8_t>() & 1) != 0;
  const auto n = rd.Get<std::uint32_t>();
  if (n > kMaxColumns) Reader::Bad("too many columns");
  std::vector<StoredColumn> stored(n);
  for (StoredColumn& sc : stored) {
    sc.name = rd.Str();
    sc.type = rd.Get<std::int32_t>();
    sc.size = rd.Get<std::int32_t>();
    if (!IsValidTypeCode(sc.type)) Reader::Bad("unknown column type");
    if (platform::Trim(sc.name).empty()) Reader::Bad("a column without name");
    if (!full) continue;
    sc.full = true;
    sc.width = rd.Get<std::int32_t>();
    sc.label = rd.Str();
    sc.description = rd.Str();
    const auto bits = rd.Get<std::uint8_t>();
    sc.visible = bits & 1;
    sc.reference = bits & 2;
    sc.lookupKey = bits & 4;
    sc.lookupDisplay = rd.Str();
    unsigned char attr[32];
    rd.Bytes(attr, sizeof attr);
    for (int b = 0; b < 256; ++b)
      if (attr[b / 8] & (1u << (b % 8))) sc.attributes.set(static_cast<std::size_t>(b));
  }
  const std::string storedKey = full ? rd.Str() : std::string();

  // The stored rows go into a scratch table of the stored columns first, so
  // that nothing of this table changes unless the whole stream reads.
  TMdsTable scratch("");
  for (const StoredColumn& sc : stored) {
    if (scratch.fColumns.Find(sc.name)) Reader::Bad("a column appears twice");
    scratch.fColumns.Add(sc.name, sc.type == mtcCustom ? mtcMemo : sc.type, 0);
  }
  const auto count = rd.Get<std::uint32_t>();
  const std::size_t nullBytes = (static_cast<std::size_t>(n) + 7) / 8;
  std::vector<unsigned char> bitmap(nullBytes);
  std::vector<std::unique_ptr<TMdsRecord>> rows;
  for (std::uint32_t k = 0; k < count; ++k) {
    if (nullBytes) rd.Bytes(bitmap.data(), nullBytes);
    auto row = scratch.NewRow();
    for (std::uint32_t i = 0; i < n; ++i) {
      if (!(bitmap[i / 8] & (1u << (i % 8)))) continue;
      const TMdsColumn* c = scratch.fColumns.GetItem(static_cast<int>(i));
      const detail::TCellSlot& s = row->Layout()->slots[i];
      const detail::TRowLayout& layout = *row->Layout();
      if (s.storage == detail::TCellStorage::Text) {
        const std::string text = rd.Str();
        row->Posted().Text(layout, s.var).Assign(text.data(), text.size());
      } else {
        rd.Bytes(row->Posted().Fixed() + s.offset, s.size);
        if (c->GetTypeCode() == mtcFixed && row->Posted().Fixed()[s.offset + 8] > TFixed::kMaxScale)
          Reader::Bad("a decimal out of range");
      }
      row->Posted().Fixed()[s.nullByte] |= s.nullMask;
    }
    rows.push_back(std::move(row));
  }

  // Map the stored columns onto this table's.
  const bool byName = (fOptions & mtoLoadByName) != 0;
  const bool create = !byName && fColumns.Count() == 0;
  std::vector<const TMdsColumn*> target(n, nullptr);
  if (!create) {
    if (!byName) {
      std::string why;
      if (static_cast<std::uint32_t>(fColumns.Count()) != n) {
        why = "the number of columns differs";
      } else {
        for (std::uint32_t i = 0; i < n && why.empty(); ++i) {
          const TMdsColumn* c = fColumns.GetItem(static_cast<int>(i));
          if (!platform::SameText(c->GetName(), stored[i].name) ||
              c->GetTypeCode() != stored[i].type)
            why = "column " + c->GetName() + " differs";
        }
      }
      if (!why.empty()) MdsError("StreamColumns", {fName, why});
    }
    for (std::uint32_t i = 0; i < n; ++i) target[i] = fColumns.Find(stored[i].name);
  }

  if (create) {
    // Values copy exactly into columns made like the stored ones, except
    // where the stored data itself is wrong: check that before adding any.
    for (const std::string& keyName : Split(storedKey, ',')) {
      bool known = false;
      for (const StoredColumn& sc : stored) known = known || platform::SameText(sc.name, keyName);
      if (!known) Reader::Bad("the key names a column that is not stored");
    }
    for (std::uint32_t i = 0; i < n; ++i) {
      if (stored[i].type == mtcCustom && !rows.empty())
        Reader::Bad("custom values need their column type");
      if (stored[i].type != mtcChars || stored[i].size <= 0) continue;
      const TMdsColumn* from = scratch.fColumns.GetItem(static_cast<int>(i));
      for (const auto& row : rows) {
        const void* p = nullptr;
        std::size_t len = 0;
        if (row->PostedRaw(from, p, len) &&
            platform::CodePointCount(std::string_view(static_cast<const char*>(p), len)) >
                static_cast<std::size_t>(stored[i].size))
          Reader::Bad("a text longer than its column");
      }
    }
    for (const StoredColumn& sc : stored) fColumns.Add(sc.name, sc.type, sc.size);
    for (std::uint32_t i = 0; i < n; ++i) {
      TMdsColumn* c = fColumns.GetItem(static_cast<int>(i));
      target[i] = c;
      const StoredColumn& sc = stored[i];
      if (!sc.full) continue;
      c->fWidth = sc.width > 0 ? sc.width : 0;
      c->fLabel = sc.label;
      c->fDescription = sc.description;
      c->fVisible = sc.visible;
      c->fIsReference = sc.reference;
      c->fIsLookupKey = sc.lookupKey;
      c->fAttributes = sc.attributes;
    }
    for (std::uint32_t i = 0; i < n; ++i) {
      if (!stored[i].full || stored[i].lookupDisplay.empty()) continue;
      fColumns.GetItem(static_cast<int>(i))->fLookupDisplay =
          fColumns.Find(stored[i].lookupDisplay);
    }
    if (!storedKey.empty() && fKey.empty() && fRecords.empty()) SetPrimaryKey(storedKey);
    ColumnChanged();
  }

  // Convert every row before touching any record: a value that does not fit
  // a column fails the load with the table unchanged.
  std::vector<std::unique_ptr<TMdsRecord>> ready;
  ready.reserve(rows.size());
  for (const auto& row : rows) {
    auto rec = NewRow();
    for (std::uint32_t i = 0; i < n; ++i) {
      if (!target[i]) continue;
      const TMdsColumn* from = scratch.fColumns.GetItem(static_cast<int>(i));
      const void* p = nullptr;
      std::size_t len = 0;
      if (!row->PostedRaw(from, p, len)) continue;
      if (from->GetTypeCode() == target[i]->GetTypeCode() && target[i]->GetTypeCode() != mtcChars) {
        const detail::TCellSlot& s =
            rec->Layout()->slots[static_cast<std::size_t>(target[i]->GetIndex())];
        if (s.storage == detail::TCellStorage::Text) {
          rec->Posted().Text(*rec->Layout(), s.var).Assign(static_cast<const char*>(p), len);
        } else {
          std::memcpy(rec->Posted().Fixed() + s.offset, p, s.size);
        }
        rec->Posted().Fixed()[s.nullByte] |= s.nullMask;
      } else {
        rec->SetDataC(target[i], detail::RawToVariant(from->GetTypeCode(), p, len));
      }
    }
    if (accept && !accept(*rec)) continue;
    ready.push_back(std::move(rec));
  }

  TFreezeGuard freeze(*this);
  for (auto& rec : ready) {
    TMdsRecord* existing = FindEqualKey(rec.get(), rec->Posted());
    if (!existing) {
      Append(std::move(rec));
      continue;
    }
    // The stored record updates the one with its key; the table's other
    // columns keep their values.
    existing->Edit();
    detail::TRowData& to = *existing->fEdit;
    const detail::TRowLayout& layout = *fLayout;
    for (std::uint32_t i = 0; i < n; ++i) {
      if (!target[i]) continue;
      const detail::TCellSlot& s = layout.slots[static_cast<std::size_t>(target[i]->GetIndex())];
      const bool has = rec->Posted().Fixed()[s.nullByte] & s.nullMask;
      to.Fixed()[s.nullByte] = static_cast<std::uint8_t>((to.Fixed()[s.nullByte] & ~s.nullMask) |
                                                         (has ? s.nullMask : 0));
      switch (s.storage) {
        case detail::TCellStorage::Fixed:
          std::memcpy(to.Fixed() + s.offset, rec->Posted().Fixed() + s.offset, s.size);
          break;
        case detail::TCellStorage::Text:
          to.Text(layout, s.var) = std::move(rec->Posted().Text(layout, s.var));
          break;
        case detail::TCellStorage::Custom:
          to.Custom(layout, s.var) = std::move(rec->Posted().Custom(layout, s.var));
          break;
      }
    }
    existing->Post();
  }
}

}  // namespace tarvo
