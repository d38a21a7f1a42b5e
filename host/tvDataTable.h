// The terminal's in-memory tables: stores of tables, typed columns, records.
//
// Threads. Everything here belongs to the user-interface thread, with one
// exception: TMdsTable::NewRow and the setters of a record it returned may run
// on a worker thread (rows are prepared there and appended on the UI thread),
// provided the table's columns are not changed meanwhile.
//
// Ownership and identity.
//  - Stores() owns the stores, a store owns its tables, a table owns its
//    columns, its records and its default view. Other views belong to whoever
//    created them and detach themselves when the table dies.
//  - A record keeps its address from Append until it is deleted (Delete,
//    Clear, the table's destruction): callers may hold record pointers and
//    learn of their death through a deacon (AppendDeacon). A column keeps its
//    address and index for the table's lifetime.
//  - NewRow returns a detached record owned by the caller; Append hands it to
//    the table. A detached record may outlive its table, but then it can only
//    be destroyed.
//
// Storage order. GetRecord(i) walks the records in storage order, which is
// not stable: deleting a record moves the last record into its place. Views
// give orders (insertion order, the primary key, any columns).
//
// Change notices.
//  - Appending, deleting and posting changes update every open view of the
//    table at once and each view tells its links (tvDataView.h).
//  - Between FreezeControls and the matching UnlockControls the views still
//    follow every change, but their events are flagged not-for-display; when
//    the outermost UnlockControls runs, each view that changed sends one
//    "reloaded" event. TFreezeGuard unlocks also when the batch fails.
//  - Sextons hear of the table's death, deacons of each record's death
//    (deletion, Clear, the table's destruction), while the dying object is
//    still intact. A receiver may unregister itself or others while told,
//    but must not change the table (append, delete, set values) from inside
//    any notice or view event.
//
// Primary key. SetPrimaryKey("A,B") makes the columns a unique key: Append
// and Post raise "KeyViolation" for a second record with an equal key (nulls
// are values here: two nulls are equal). The default view is ordered by the
// key, or by insertion when there is none.
//
// Cost. Append, Delete and posting a change cost O(log n) per open view (and
// for the key index); SetPrimaryKey, opening or reordering a view O(n log n);
// adding a column O(n). A record is a 32-byte header with its row right
// behind it in one pooled allocation (texts up to 12 bytes inside the row),
// so scanning records reads little memory.
//
// Editing. Edit copies the record's values; setters change the copy and reads
// through GetData*/Format see it; Post checks the key, applies the copy and
// updates the views; Cancel drops it. A setter called on a record of a table
// without Edit runs as Edit, set, Post. Views, streams and the key index only
// ever see posted values.
#pragma once

#include <atomic>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iosfwd>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/tvDataError.h"
#include "host/tvDataNotify.h"
#include "host/tvDataTypes.h"
#include "host/tvDataVariant.h"
#include "platform/core/ThreadChecker.h"

namespace tarvo {

class TMdsColumn;
class TMdsRecord;
class TMdsStore;
class TMdsTable;
class TMdsView;

// Base of the objects whose death is announced: tables and records. It
// carries nothing (a record stays as small as its data); a receiver compares
// the address or casts to the type it registered for.
class TMdsSubject {
 protected:
  TMdsSubject() = default;
  ~TMdsSubject() = default;
};

// A receiver of destruction notices. Subject is the dying table or record,
// still intact during the call.
class IMdsSexton {
 public:
  virtual ~IMdsSexton() = default;
  virtual void SubjectDestroyed(TMdsSubject* subject) = 0;
};

// The type behind a custom column (type code 21): it turns values into custom
// values, and a condition's list of values into one object that the column's
// values can match against (IMdsCustomMatch).
class IMdsCustomType {
 public:
  virtual ~IMdsCustomType() = default;
  // Null or empty values give nullptr; a value that has no custom form raises.
  virtual std::shared_ptr<const IMdsCustomValue> FromVariant(const Variant& value) const = 0;
  // The default raises "CannotConvertValue": a type without list matching.
  virtual std::shared_ptr<const IMdsCustomValue> FromList(const std::vector<Variant>& values) const;
};

// What a cell renderer is given. Canvas is the grid's drawing surface, opaque
// to the data layer.
struct TMdsCellContext {
  void* Canvas = nullptr;
  int Left = 0, Top = 0, Right = 0, Bottom = 0;
  const TMdsColumn* Column = nullptr;
  const TMdsRecord* Record = nullptr;
};

// An optional renderer of a column's cells in grids: its format step may
// decide the text, its render step may draw the cell (answering true when
// it did), its width step may adjust a measured width.
class IMdsCellRenderer {
 public:
  virtual ~IMdsCellRenderer() = default;
  virtual bool FormatCell(const TMdsCellContext& cell, std::string& text) {
    (void)cell;
    (void)text;
    return false;
  }
  virtual bool RenderCell(const TMdsCellContext& cell) {
    (void)cell;
    return false;
  }
  virtual void AdjustWidth(const TMdsCellContext& cell, int& width) {
    (void)cell;
    (void)width;
  }
};

// Column attributes are set by ordinal (0..255). The layer gives meaning to:
enum TMdsColumnAttribute : int {
  mcaZeroIsNull = 7,     // an all-zero or empty value counts as null
  mcaAlwaysRender = 10,  // the cell renderer runs even where a grid skips rendering
};

// --- internal row layout ----------------------------------------------------------

namespace detail {

// A text cell in 16 bytes: texts of up to 12 bytes (codes, boards, short
// names) live inside the cell, longer ones in a block of their own.
class TCellText {
 public:
  static constexpr std::uint32_t kInline = 12;
  TCellText() noexcept = default;
  ~TCellText() { Release(); }
  TCellText(const TCellText& other) { Assign(other.Data(), other.Size()); }
  TCellText& operator=(const TCellText& other) {
    if (this != &other) Assign(other.Data(), other.Size());
    return *this;
  }
  TCellText(TCellText&& other) noexcept {
    std::memcpy(static_cast<void*>(this), &other, sizeof *this);
    other.fSize = 0;
  }
  TCellText& operator=(TCellText&& other) noexcept {
    if (this != &other) {
      Release();
      std::memcpy(static_cast<void*>(this), &other, sizeof *this);
      other.fSize = 0;
    }
    return *this;
  }
  // Raises "ValueTooLong" for texts of 4 GiB and more.
  void Assign(const char* data, std::size_t size);
  void Clear() noexcept {
    Release();
    fSize = 0;
  }
  const char* Data() const noexcept { return fSize <= kInline ? fBuf : HeapPtr(); }
  std::size_t Size() const noexcept { return fSize; }
  std::string_view View() const noexcept { return {Data(), fSize}; }

 private:
  char* HeapPtr() const noexcept {
    char* p;
    std::memcpy(&p, fBuf + 4, sizeof p);
    return p;
  }
  void Release() noexcept {
    if (fSize > kInline) delete[] HeapPtr();
  }
  std::uint32_t fSize = 0;
  char fBuf[kInline] = {};  // the text, or 4 unused bytes and a pointer to it
};
static_assert(sizeof(TCellText) == 16);

enum class TCellStorage : std::uint8_t { Fixed, Text, Custom };

struct TCellSlot {
  std::uint32_t offset = 0;  // Fixed: byte offset in the fixed part
  std::uint32_t size = 0;    // Fixed: bytes
  std::uint32_t var = 0;     // Text/Custom: index in their arrays
  std::uint16_t nullByte = 0;
  std::uint8_t nullMask = 0;
  TCellStorage storage = TCellStorage::Fixed;
  int type = 0;
};

struct TRowLayout {
  // Held by the table that made it and by each detached record made with it,
  // so that a prepared row can still be freed after its table died.
  mutable std::atomic<int> refs{0};
  std::uint32_t fixedSize = 0;  // null bitmap (a set bit: has a value) + fixed cells
  std::uint32_t textCount = 0;
  std::uint32_t customCount = 0;
  std::uint32_t textOffset = 0;    // where the texts start in a row block
  std::uint32_t customOffset = 0;  // where the custom values start
  std::uint32_t blockSize = 0;     // bytes of a row block
  std::vector<TCellSlot> slots;    // by column index
};

inline void AddRef(const TRowLayout* layout) noexcept {
  layout->refs.fetch_add(1, std::memory_order_relaxed);
}
inline void Release(const TRowLayout* layout) noexcept {
  if (layout->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete layout;
}

// The cells of one row in a single block: the fixed part (null bitmap and
// fixed-size cells), then the texts, then the custom values. A record keeps
// its posted block right behind itself, so that reading a row touches one
// piece of memory. Not self-managing: the owner passes the layout.
struct TRowData {
  std::byte* block = nullptr;
  bool owned = false;  // a block of its own (freed by Destroy), not the record's tail

  // Builds an all-null row in mem, or in a new block when mem is nullptr.
  void Construct(const TRowLayout& layout, std::byte* mem);
  void Destroy(const TRowLayout& layout) noexcept;
  void CopyValues(const TRowData& from, const TRowLayout& layout);
  void MoveValues(TRowData& from, const TRowLayout& layout) noexcept;

  std::uint8_t* Fixed() const noexcept { return reinterpret_cast<std::uint8_t*>(block); }
  TCellText& Text(const TRowLayout& layout, std::uint32_t var) const noexcept {
    return reinterpret_cast<TCellText*>(block + layout.textOffset)[var];
  }
  std::shared_ptr<const IMdsCustomValue>& Custom(const TRowLayout& layout,
                                                 std::uint32_t var) const noexcept {
    return reinterpret_cast<std::shared_ptr<const IMdsCustomValue>*>(block +
                                                                     layout.customOffset)[var];
  }
};

}  // namespace detail

// --- columns ----------------------------------------------------------------------

class TMdsColumn {
 public:
  TMdsColumn(const TMdsColumn&) = delete;
  TMdsColumn& operator=(const TMdsColumn&) = delete;

  const std::string& GetName() const noexcept { return fName; }
  int GetTypeCode() const noexcept { return fType; }
  // For text columns the length in characters (code 10: the fixed length,
  // enforced; other text codes: informative); 0 when not set.
  int GetSize() const noexcept { return fSize; }
  void SetSize(int size);
  int GetIndex() const noexcept { return fIndex; }
  TMdsTable* GetTable() const noexcept { return fTable; }

  bool HasAttribute(int ordinal) const noexcept;
  void SetAttribute(int ordinal, bool on = true);
  const std::bitset<256>& GetAttributes() const noexcept { return fAttributes; }

  // The label shown in headers: the set label, else the name.
  const std::string& GetDisplayLabel() const noexcept;
  void SetDisplayLabel(std::string label);
  // Width in characters: the set width, else a default by type and size.
  int GetDisplayWidth() const noexcept;
  void SetDisplayWidth(int width);
  const std::string& GetDescription() const noexcept { return fDescription; }
  void SetDescription(std::string text);
  bool GetVisible() const noexcept { return fVisible; }
  void SetVisible(bool visible);
  bool GetIsReference() const noexcept { return fIsReference; }
  void SetIsReference(bool value);
  bool GetIsLookupKey() const noexcept { return fIsLookupKey; }
  void SetIsLookupKey(bool value);
  // The column of the same table that shows a lookup key's text (none when
  // the column is not a lookup key).
  TMdsColumn* GetLookupDisplay() const noexcept { return fLookupDisplay; }
  void SetLookupDisplay(TMdsColumn* column);

  const std::shared_ptr<IMdsCellRenderer>& GetCellRenderer() const noexcept { return fRenderer; }
  void SetCellRenderer(std::shared_ptr<IMdsCellRenderer> renderer);
  const std::shared_ptr<const IMdsCustomType>& GetCustomType() const noexcept {
    return fCustomType;
  }
  void SetCustomType(std::shared_ptr<const IMdsCustomType> type);

 private:
  friend class TMdsTable;
  friend class TMdsColumns;
  TMdsColumn(TMdsTable* table, std::string name, int type, int size, int index);
  void Changed();

  TMdsTable* fTable;
  std::string fName;
  int fType;
  int fSize;
  int fIndex;
  std::bitset<256> fAttributes;
  std::string fLabel;
  int fWidth = 0;
  std::string fDescription;
  bool fVisible = true;
  bool fIsReference = false;
  bool fIsLookupKey = false;
  TMdsColumn* fLookupDisplay = nullptr;
  std::shared_ptr<IMdsCellRenderer> fRenderer;
  std::shared_ptr<const IMdsCustomType> fCustomType;
};

// The columns of a table. Names are unique ignoring case.
class TMdsColumns {
 public:
  int Count() const noexcept { return static_cast<int>(fItems.size()); }
  // nullptr when there is no such column (names compared ignoring case).
  TMdsColumn* Find(std::string_view name) const;
  // The column of that name; raises "ColumnNotFound".
  TMdsColumn* GetName(std::string_view name) const;
  // Raises "IndexOutOfRange".
  TMdsColumn* GetItem(int index) const;
  // Adds a column. Raises "ColumnExists", "BadColumnName" or "BadColumnType".
  // A table that already holds rows gets the column in every row, null.
  TMdsColumn* Add(std::string_view name, int typeCode, int size = 0);

 private:
  friend class TMdsTable;
  explicit TMdsColumns(TMdsTable* table) : fTable(table) {}
  TMdsTable* fTable;
  std::vector<std::unique_ptr<TMdsColumn>> fItems;
  std::unordered_map<std::string, TMdsColumn*> fByName;  // folded name
};

// --- records ----------------------------------------------------------------------

class TMdsRecord final : public TMdsSubject {
 public:
  ~TMdsRecord();
  // Records come from TMdsTable::NewRow; deleting one frees its row block
  // too (the record knows where its memory came from).
  static void operator delete(TMdsRecord* record, std::destroying_delete_t) noexcept;
  TMdsRecord(const TMdsRecord&) = delete;
  TMdsRecord& operator=(const TMdsRecord&) = delete;

  // The table the record belongs to (or was made for, while detached).
  TMdsTable* GetTable() const noexcept { return fTable; }
  bool IsInTable() const noexcept { return fState == State::InTable; }
  bool IsEditing() const noexcept { return fEdit != nullptr; }

  // The value of a column; null for a null cell and, with the attribute
  // mcaZeroIsNull, for an all-zero or empty one. Raises "ColumnNotInTable"
  // for a column of another table, "ColumnNotFound" for an unknown name.
  Variant GetDataC(const TMdsColumn* column) const;
  Variant GetDataN(std::string_view name) const;
  bool GetIsNullC(const TMdsColumn* column) const;

  // The raw bytes of a cell (layout in tvDataTypes.h); false, with ptr and
  // len untouched, for a null cell. The bytes stay valid until the cell is
  // set again or the record dies. Raises "ColumnNotInTable" for a column of
  // another table. This is the fast path of filters: no allocation.
  bool GetDataP(const TMdsColumn* column, const void*& ptr, std::size_t& len) const {
    return ReadRaw(fEdit ? *fEdit : Posted(), column, ptr, len);
  }

  // Sets a cell, converting the value to the column's type. Raises
  // "CannotConvertValue" (and leaves the cell as it was) for a value the
  // column cannot hold, "ValueTooLong" for a text longer than a fixed-length
  // column, and, on a record of a table outside Edit, what Post raises.
  void SetDataC(const TMdsColumn* column, const Variant& value);
  void SetDataN(std::string_view name, const Variant& value);

  // See "Editing" above. Post raises "KeyViolation" and stays in edit mode;
  // on a detached record Edit/Post/Cancel only manage the edit copy.
  void Edit();
  void Post();
  void Cancel() noexcept;

  // The display text of a cell: "" for null (and zero-as-null), numbers in
  // invariant form, dates in the locale's short date, times in its long
  // time, Booleans "True"/"False", custom values by their Text().
  std::string Format(const TMdsColumn* column) const;

 private:
  friend class TMdsTable;
  friend class TMdsColumns;
  friend class TMdsView;
  enum class State : std::uint8_t { Detached, InTable, Deleted };

  // A record and its row block are one allocation: Create makes both, and
  // the class's operator delete frees them together.
  static TMdsRecord* Create(TMdsTable* table, const detail::TRowLayout* layout);
  TMdsRecord(TMdsTable* table, const detail::TRowLayout* layout, std::byte* tail);

  bool ReadRaw(const detail::TRowData& d, const TMdsColumn* column, const void*& ptr,
               std::size_t& len) const;
  // The layout the record's rows follow: its table's for a record in the
  // table, its own for a detached one.
  const detail::TRowLayout* Layout() const noexcept;
  [[noreturn]] static void ForeignColumn(const TMdsColumn* column);
  // Raw bytes of the posted values (what views and streams see).
  bool PostedRaw(const TMdsColumn* column, const void*& ptr, std::size_t& len) const {
    return ReadRaw(Posted(), column, ptr, len);
  }
  void StoreValue(detail::TRowData& d, const TMdsColumn* column, const Variant& value) const;
  Variant ValueOf(const detail::TRowData& d, const TMdsColumn* column) const;
  void Migrate(const detail::TRowLayout* to);
  // Moves the pending values into the posted row and ends editing.
  void EndEdit() noexcept;

  // The posted row: the block right behind the record, or, once a column
  // was added, a block of its own whose address the tail then holds.
  detail::TRowData Posted() const noexcept {
    std::byte* tail = reinterpret_cast<std::byte*>(const_cast<TMdsRecord*>(this) + 1);
    if (!fOwnsBlock) return detail::TRowData{tail, false};
    std::byte* block;
    std::memcpy(&block, tail, sizeof block);
    return detail::TRowData{block, true};
  }
  void SetPostedBlock(std::byte* block) noexcept;

  // 32 bytes: the fields every read needs first; the row block follows.
  TMdsTable* fTable;
  detail::TRowData* fEdit = nullptr;  // pending values while editing
  union TPlace {
    struct {
      std::uint32_t slot;              // index into the table's slot map and views' nodes
      std::uint32_t index;             // position in the table's storage order
    } at;                              // in a table
    const detail::TRowLayout* layout;  // detached: its layout, one reference held
  } fPlace;
  std::uint32_t fSeq = 0;  // insertion sequence, orders ties
  State fState = State::Detached;
  bool fOwnsBlock = false;
  std::uint16_t fSizeClass = 0;  // the record pool's class of this allocation (0: none)
};
static_assert(sizeof(TMdsRecord) == 32, "keep records small: a scan reads them all");

// --- tables -----------------------------------------------------------------------

// Table options (SetOptions takes their bit values).
enum : std::uint32_t {
  // Loading matches the stored columns to the table's by name, skipping
  // stored columns the table lacks and leaving its other columns null.
  mtoLoadByName = 2,
};

class TMdsTable final : public TMdsSubject {
 public:
  // A table outside any store (stores create theirs with TMdsStore::Add).
  explicit TMdsTable(std::string name);
  ~TMdsTable();
  TMdsTable(const TMdsTable&) = delete;
  TMdsTable& operator=(const TMdsTable&) = delete;

  const std::string& GetName() const noexcept { return fName; }
  TMdsStore* GetStore() const noexcept { return fStore; }
  TMdsColumns& GetColumns() noexcept { return fColumns; }
  const TMdsColumns& GetColumns() const noexcept { return fColumns; }

  // Records in storage order (see above).
  int GetRecordCount() const noexcept { return static_cast<int>(fRecords.size()); }
  TMdsRecord* GetRecord(int index) const;  // raises "IndexOutOfRange"

  // A new, detached, all-null record for this table (see Threads above).
  std::unique_ptr<TMdsRecord> NewRow() const;
  // Appends a detached record of this table: checks the key, then the record
  // belongs to the table and is returned. On failure (a key violation, a
  // record of another table) the exception leaves it with the caller.
  TMdsRecord* Append(std::unique_ptr<TMdsRecord>&& record);
  // Deletes a record of this table; deacons are told first.
  void Delete(TMdsRecord* record);
  // Deletes every record (deacons are told of each); the columns stay.
  void Clear();

  // Comma-separated column names ("" for none). SetPrimaryKey raises
  // "ColumnNotFound" or "DuplicateKeys" and then keeps the old key.
  std::string GetPrimaryKey() const;
  void SetPrimaryKey(std::string_view columns);
  // The record whose key equals values (converted to the key columns'
  // types), in O(log n); nullptr when none or when there is no key.
  TMdsRecord* FindKey(std::span<const Variant> values) const;

  void FreezeControls() noexcept { ++fFreeze; }
  void UnlockControls();
  bool IsFrozen() const noexcept { return fFreeze > 0; }
  class TFreezeGuard {
   public:
    explicit TFreezeGuard(TMdsTable& table) : fTable(table) { fTable.FreezeControls(); }
    ~TFreezeGuard() { fTable.UnlockControls(); }
    TFreezeGuard(const TFreezeGuard&) = delete;
    TFreezeGuard& operator=(const TFreezeGuard&) = delete;

   private:
    TMdsTable& fTable;
  };

  // The table's own view, open, ordered by the primary key or by insertion.
  TMdsView* GetDefaultView();

  // Records whose columns (comma-separated) equal the values, in the default
  // view's order. Uses the key index when the columns lead the primary key.
  std::vector<TMdsRecord*> SelectA(std::string_view columns, std::span<const Variant> values);
  // Records for which the predicate holds, in the default view's order.
  std::vector<TMdsRecord*> SelectA(const std::function<bool(const TMdsRecord&)>& predicate);

  std::uint32_t GetOptions() const noexcept { return fOptions; }
  void SetOptions(std::uint32_t options) noexcept { fOptions = options; }

  // Writes the columns and the records (in insertion order). With full, the
  // columns' display properties, attributes and the primary key go too.
  // Raises "StreamWrite" when the stream fails.
  void SaveToStream(std::ostream& stream, bool full = false) const;
  // Reads what SaveToStream wrote and appends the records for which accept
  // (when given) answers true. A loaded record whose key equals an existing
  // record's updates that record. Columns: with mtoLoadByName see above;
  // otherwise an empty table takes the stored columns and a table with
  // columns must have exactly the stored ones. All or nothing: damaged or
  // mismatched data raises "BadStream"/"StreamColumns" and changes nothing.
  void LoadFromStream(std::istream& stream,
                      const std::function<bool(const TMdsRecord&)>& accept = {});

  void AppendSexton(IMdsSexton* sexton) { fSextons.Add(sexton); }
  void RemoveSexton(IMdsSexton* sexton) { fSextons.Remove(sexton); }
  void AppendDeacon(IMdsSexton* deacon) { fDeacons.Add(deacon); }
  void RemoveDeacon(IMdsSexton* deacon) { fDeacons.Remove(deacon); }

 private:
  friend class TMdsColumn;
  friend class TMdsColumns;
  friend class TMdsRecord;
  friend class TMdsStore;
  friend class TMdsView;

  void ColumnAdded();
  void ColumnChanged();
  void Insert(TMdsRecord* record);
  void PostRecord(TMdsRecord* record);
  void CheckKeyFree(const TMdsRecord* record, const detail::TRowData& data) const;
  // Another record whose key equals the data's (read with record's layout).
  TMdsRecord* FindEqualKey(const TMdsRecord* record, const detail::TRowData& data) const;
  void NotifyRecordDeath(TMdsRecord* record);
  void RegisterView(TMdsView* view);
  void UnregisterView(TMdsView* view);
  template <class F>
  void ForEachView(F&& f);
  std::vector<TMdsRecord*> InsertionOrder() const;
  void RenumberSequence();

  std::string fName;
  TMdsStore* fStore = nullptr;
  TMdsColumns fColumns;
  const detail::TRowLayout* fLayout = nullptr;  // the current one, the last of fLayouts
  // Every layout the table ever had (one reference each): detached records
  // made before a column was added still read through theirs.
  std::vector<const detail::TRowLayout*> fLayouts;
  std::vector<TMdsRecord*> fRecords;  // storage order, owned
  std::vector<TMdsRecord*> fBySlot;   // slot -> record (nullptr: free)
  std::vector<std::uint32_t> fFreeSlots;
  std::uint32_t fNextSeq = 1;
  std::vector<const TMdsColumn*> fKey;
  std::unique_ptr<TMdsView> fKeyIndex;  // ordered by the key, no filter, no links
  std::unique_ptr<TMdsView> fDefaultView;
  std::vector<TMdsView*> fViews;  // every open or closed view, key index excluded
  int fViewWalk = 0;
  bool fViewsDirty = false;
  int fFreeze = 0;
  std::uint32_t fOptions = 0;
  detail::TSafeList<IMdsSexton> fSextons;
  detail::TSafeList<IMdsSexton> fDeacons;
  bool fDying = false;
  // Writes (Append, Delete, Clear, posting a record) belong to the thread
  // that made the table.
  platform::ThreadChecker fUIThread;
};

// --- stores -----------------------------------------------------------------------

class TMdsStore {
 public:
  // Creates a store and registers it with Stores(), which owns it. Raises
  // "StoreExists" when the name is taken (ignoring case).
  static TMdsStore* Create(std::string name);
  ~TMdsStore();
  TMdsStore(const TMdsStore&) = delete;
  TMdsStore& operator=(const TMdsStore&) = delete;

  const std::string& GetName() const noexcept { return fName; }
  int Count() const noexcept { return static_cast<int>(fTables.size()); }
  TMdsTable* GetItem(int index) const;
  // Tables by name, ignoring case: Find answers nullptr, GetTable raises
  // "TableNotFound", Add raises "TableExists".
  TMdsTable* Find(std::string_view name) const;
  TMdsTable* GetTable(std::string_view name) const;
  TMdsTable* Add(std::string name);
  // Destroys a table of this store (its sextons are told first).
  void Remove(TMdsTable* table);

 private:
  friend class TMdsStores;
  explicit TMdsStore(std::string name) : fName(std::move(name)) {}
  std::string fName;
  std::vector<std::unique_ptr<TMdsTable>> fTables;
};

// The process's list of stores.
class TMdsStores {
 public:
  int Count() const noexcept { return static_cast<int>(fStores.size()); }
  TMdsStore* GetItem(int index) const;
  // By name, ignoring case: Find answers nullptr, GetStore raises "StoreNotFound".
  TMdsStore* Find(std::string_view name) const;
  TMdsStore* GetStore(std::string_view name) const;
  // Destroys a store and its tables.
  void Remove(TMdsStore* store);

 private:
  friend class TMdsStore;
  friend TMdsStores& Stores();
  TMdsStores() = default;
  std::vector<std::unique_ptr<TMdsStore>> fStores;
};

TMdsStores& Stores();

// --- inline definitions --------------------------------------------------------------

inline const detail::TRowLayout* TMdsRecord::Layout() const noexcept {
  return fState == State::Detached ? fPlace.layout : fTable->fLayout;
}

inline bool TMdsRecord::ReadRaw(const detail::TRowData& d, const TMdsColumn* column,
                                const void*& ptr, std::size_t& len) const {
  if (!column || column->GetTable() != fTable) ForeignColumn(column);
  const detail::TRowLayout& layout = *Layout();
  const auto idx = static_cast<std::size_t>(column->GetIndex());
  if (idx >= layout.slots.size()) return false;  // added after NewRow: null
  const detail::TCellSlot& s = layout.slots[idx];
  const std::uint8_t* fixed = d.Fixed();
  if (!(fixed[s.nullByte] & s.nullMask)) return false;
  switch (s.storage) {
    case detail::TCellStorage::Fixed:
      ptr = fixed + s.offset;
      len = s.size;
      return true;
    case detail::TCellStorage::Text: {
      const detail::TCellText& text = d.Text(layout, s.var);
      ptr = text.Data();
      len = text.Size();
      return true;
    }
    case detail::TCellStorage::Custom:
      ptr = &d.Custom(layout, s.var);
      len = sizeof(std::shared_ptr<const IMdsCustomValue>);
      return true;
  }
  return false;
}

}  // namespace tarvo
