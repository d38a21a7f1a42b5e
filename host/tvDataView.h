// Views of a table: ordered, optionally filtered lists of its records that
// follow every change of the table and tell their links about it.
//
// Order. A view is ordered by SetOrderBy ("CODE, PRICE DESC"; ASC is the
// default direction), else by the table's primary key, else by insertion.
// Ties are always broken by insertion order, so the order is total: a view
// kept up to date incrementally equals one built from scratch. Values order
// as the data layer's typed comparison (CompareData): nulls first, numbers
// and dates by value, texts byte by byte (UTF-8, so by code point).
//
// Cost. Records are kept in a balanced tree with subtree sizes: inserting,
// deleting or moving one record, IndexOf and GetRecords().Item(i) cost
// O(log n); walking the records in order costs O(1) per record. Opening,
// SetOrderBy, SetFilter and Refilter rebuild in O(n log n). Find is O(log n)
// when its fields lead the view's order and neither ignore-case nor display
// text is asked for; otherwise it walks the view.
//
// Filter. SetFilter takes a record predicate (a compiled record filter is
// one). The view asks it whenever a record is appended or posted; a filter
// whose own conditions change needs Refilter.
//
// Events (TMdsViewLink). Every change is reported as it happens, to the early
// links first, then to the normal ones, each in order of registration:
//   0 opened       the view was opened (or its table replaced)
//   1 reloaded     the rows were rebuilt (order, filter, Clear, load, the end
//                  of a FreezeControls batch)
//   2 columns      the table's columns changed (added, relabelled ...)
//   3 inserted     Record now at NewIndex
//   4 deleted      Record was at OldIndex (still intact during the event)
//   5 moved        Record moved from OldIndex to NewIndex (its values changed)
//   6 changed      Record changed in place (OldIndex == NewIndex)
// Events raised while the table's controls are frozen carry NotForDisplay;
// the outermost UnlockControls then sends one "reloaded" to each view that
// changed. A link may unregister itself or others during an event.
//
// Change state: 0 nothing since the last "reloaded"; 1 records were inserted,
// moved or changed; 2 records left the view or the view was rebuilt, so marks
// kept by record must be re-validated. It is read during a "reloaded" event
// and reset to 0 after it.
//
// Threads: the user-interface thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/tvDataNotify.h"
#include "host/tvDataTable.h"

namespace tarvo {

// A record predicate for views. Match must not change tables.
class IMdsRecordFilter {
 public:
  virtual ~IMdsRecordFilter() = default;
  virtual bool Match(const TMdsRecord& record) const = 0;
};

enum TMdsViewEventKind : int {
  mveOpened = 0,
  mveReloaded = 1,
  mveColumnsChanged = 2,
  mveInserted = 3,
  mveDeleted = 4,
  mveMoved = 5,
  mveChanged = 6,
};

struct TMdsViewEvent {
  TMdsViewEventKind Kind = mveReloaded;
  int OldIndex = -1;
  int NewIndex = -1;
  TMdsRecord* Record = nullptr;
  bool NotForDisplay = false;
};

class TMdsViewLink {
 public:
  TMdsViewLink() = default;
  virtual ~TMdsViewLink();
  TMdsViewLink(const TMdsViewLink&) = delete;
  TMdsViewLink& operator=(const TMdsViewLink&) = delete;

  // Registers with a view (unregistering from the previous one); nullptr
  // detaches.
  void SetView(TMdsView* view);
  TMdsView* GetView() const noexcept { return fView; }
  // 0 normal, 1 early (told before the normal links). Set before SetView or
  // re-register to move between the groups.
  void SetCall(int call);
  int GetCall() const noexcept { return fCall; }

 protected:
  virtual void ViewEvent(const TMdsViewEvent& event) = 0;
  // The view is being destroyed; the link is already detached.
  virtual void ViewDestroyed() {}

 private:
  friend class TMdsView;
  TMdsView* fView = nullptr;
  int fCall = 0;
};

// A link that forwards events to a function.
class TMdsFunctionLink final : public TMdsViewLink {
 public:
  using Handler = std::function<void(const TMdsViewEvent&)>;
  explicit TMdsFunctionLink(Handler handler) : fHandler(std::move(handler)) {}

 protected:
  void ViewEvent(const TMdsViewEvent& event) override {
    if (fHandler) fHandler(event);
  }

 private:
  Handler fHandler;
};

// Locate options of Find (ordinals in a set).
enum class TMdsLocateOption : int {
  CaseInsensitive = 0,  // texts compare ignoring case
  PartialKey = 1,       // a text field matches when it starts with the value
  DisplayText = 3,      // fields compare by their display text (Format)
};
using TMdsLocateOptions = TEnumSet<TMdsLocateOption>;

class TMdsView {
 public:
  // A closed view of the table.
  explicit TMdsView(TMdsTable* table);
  ~TMdsView();
  TMdsView(const TMdsView&) = delete;
  TMdsView& operator=(const TMdsView&) = delete;

  // nullptr once the table has died.
  TMdsTable* GetTable() const noexcept { return fTable; }
  bool GetOpen() const noexcept { return fOpen; }
  // Open builds the rows and sends "opened"; Close empties the view and
  // sends "reloaded". Opening a view without a table raises "ViewNoTable".
  void Open();
  void Close();
  void SetOpen(bool open) { open ? Open() : Close(); }

  // Raises "BadOrderBy" (and keeps the old order) for unknown columns or
  // words; "" returns to the primary key or insertion order.
  void SetOrderBy(std::string_view orderBy);
  const std::string& GetOrderBy() const noexcept { return fOrderByText; }
  // 0 when the view is not ordered by the column, else its rank in the
  // order (1 for the first), negative when descending.
  int GetSortMode(const TMdsColumn* column) const;

  void SetFilter(std::shared_ptr<const IMdsRecordFilter> filter);
  const std::shared_ptr<const IMdsRecordFilter>& GetFilter() const noexcept { return fFilter; }
  // Asks the filter about every record again (after its conditions changed).
  void Refilter();

  // The records in view order.
  class TRecords {
   public:
    int Count() const noexcept;
    TMdsRecord* Item(int index) const;  // raises "IndexOutOfRange"
    class iterator {
     public:
      using value_type = TMdsRecord*;
      using difference_type = std::ptrdiff_t;
      TMdsRecord* operator*() const;
      iterator& operator++();
      bool operator==(const iterator& other) const noexcept { return fNode == other.fNode; }

     private:
      friend class TRecords;
      iterator(const TMdsView* view, std::uint32_t node) : fView(view), fNode(node) {}
      const TMdsView* fView;
      std::uint32_t fNode;
    };
    iterator begin() const;
    iterator end() const;

   private:
    friend class TMdsView;
    explicit TRecords(const TMdsView* view) : fView(view) {}
    const TMdsView* fView;
  };
  TRecords GetRecords() const noexcept { return TRecords(this); }
  int GetRecordCount() const noexcept;

  // The record's index in the view, or -1 when it is not in it.
  int IndexOf(const TMdsRecord* record) const;

  // The index of the first record (in view order) whose fields (comma-
  // separated) match the values, or -1. Null matches null. Values convert to
  // the fields' types; a value that cannot convert matches nothing.
  int Find(std::span<const Variant> values, std::string_view fields,
           TMdsLocateOptions options = {}) const;
  // The same with the values given as an array and the index of the last one.
  int Find(const Variant* values, int high, std::string_view fields,
           TMdsLocateOptions options = {}) const {
    return Find(std::span<const Variant>(values, high < 0 ? 0 : static_cast<std::size_t>(high) + 1),
                fields, options);
  }

  int GetChangeState() const noexcept { return fChangeState; }

 private:
  friend class TMdsTable;
  friend class TMdsViewLink;
  static constexpr std::uint32_t kNil = 0xFFFFFFFFu;
  struct Node {
    std::uint32_t left = kNil, right = kNil, parent = kNil;
    std::uint32_t size = 0;  // 0: the slot's record is not in the view
    std::uint32_t prio = 0;
  };
  struct OrderItem {
    const TMdsColumn* column;
    bool descending;
  };

  // Called by the table.
  void RecordInserted(TMdsRecord* record);
  void RecordDeleting(TMdsRecord* record);
  void RecordChanged(TMdsRecord* record);
  void TableCleared();
  void TableColumnsChanged();
  void TableKeyChanged();
  void BatchEnded();
  void TableDying();

  bool Passes(const TMdsRecord* record) const;
  int CompareRecords(const TMdsRecord* a, const TMdsRecord* b) const;
  std::vector<OrderItem> EffectiveOrder() const;
  void Rebuild();
  void BuildFrom(std::vector<std::uint32_t>& slots);
  void EnsureNodes(std::uint32_t slot);
  std::uint32_t NextPrio();
  void TreeInsert(std::uint32_t slot);
  void TreeRemove(std::uint32_t slot);
  void RotateUp(std::uint32_t x);
  std::uint32_t Rank(std::uint32_t slot) const;
  std::uint32_t Select(std::uint32_t index) const;
  std::uint32_t SizeOf(std::uint32_t n) const { return n == kNil ? 0 : fNodes[n].size; }
  std::uint32_t First() const;
  std::uint32_t Next(std::uint32_t n) const;
  bool Contains(const TMdsRecord* record) const;
  TMdsRecord* RecordAt(std::uint32_t slot) const { return fTable->fBySlot[slot]; }
  // The first index whose record compares >= 0 under cmp (cmp(record) < 0:
  // the record comes before the searched position).
  template <class Cmp>
  std::uint32_t LowerBound(Cmp&& cmp) const {
    std::uint32_t x = fRoot, before = 0, best = SizeOf(fRoot);
    while (x != kNil) {
      if (cmp(RecordAt(x)) >= 0) {
        best = before + SizeOf(fNodes[x].left);
        x = fNodes[x].left;
      } else {
        before += SizeOf(fNodes[x].left) + 1;
        x = fNodes[x].right;
      }
    }
    return best;
  }

  void Emit(TMdsViewEventKind kind, int oldIndex, int newIndex, TMdsRecord* record);
  void Reloaded();
  void MarkChanged(int state);

  TMdsTable* fTable;
  bool fOpen = false;
  bool fInternal = false;  // the table's key index: no links, no filter
  std::string fOrderByText;
  std::vector<OrderItem> fOrderBy;
  std::vector<OrderItem> fOrder;  // effective order (fOrderBy, else the key)
  std::shared_ptr<const IMdsRecordFilter> fFilter;
  std::vector<Node> fNodes;  // by record slot
  std::uint32_t fRoot = kNil;
  std::uint64_t fRandom = 0x9E3779B97F4A7C15ull;
  int fChangeState = 0;
  bool fBatchChanged = false;
  detail::TSafeList<TMdsViewLink> fEarlyLinks;
  detail::TSafeList<TMdsViewLink> fLinks;
};

}  // namespace tarvo
