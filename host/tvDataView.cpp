#include "host/tvDataView.h"

#include <algorithm>

#include "host/tvDataInternal.h"
#include "host/tvDataUtils.h"
#include "platform/core/Text.h"

namespace tarvo {

// --- links ----------------------------------------------------------------------------

TMdsViewLink::~TMdsViewLink() {
  SetView(nullptr);
}

void TMdsViewLink::SetView(TMdsView* view) {
  if (fView) (fCall == 1 ? fView->fEarlyLinks : fView->fLinks).Remove(this);
  fView = view;
  if (fView) (fCall == 1 ? fView->fEarlyLinks : fView->fLinks).Add(this);
}

void TMdsViewLink::SetCall(int call) {
  call = call == 1 ? 1 : 0;
  if (call == fCall) return;
  TMdsView* view = fView;
  SetView(nullptr);
  fCall = call;
  SetView(view);
}

// --- construction ----------------------------------------------------------------------

TMdsView::TMdsView(TMdsTable* table) : fTable(table) {
  if (fTable) {
    fTable->RegisterView(this);
    fOrder = EffectiveOrder();
  }
}

TMdsView::~TMdsView() {
  if (fTable) fTable->UnregisterView(this);
  auto detach = [](TMdsViewLink* link) {
    link->fView = nullptr;
    link->ViewDestroyed();
  };
  fEarlyLinks.ForEach(detach);
  fLinks.ForEach(detach);
}

std::vector<TMdsView::OrderItem> TMdsView::EffectiveOrder() const {
  if (!fOrderBy.empty() || !fTable || fInternal) return fOrderBy;
  std::vector<OrderItem> order;
  for (const TMdsColumn* c : fTable->fKey) order.push_back({c, false});
  return order;
}

void TMdsView::Open() {
  if (!fTable) MdsError("ViewNoTable");
  fOpen = true;
  fOrder = EffectiveOrder();
  Rebuild();
  MarkChanged(2);
  Emit(mveOpened, -1, -1, nullptr);
  if (!fTable || !fTable->IsFrozen()) fChangeState = 0;
}

void TMdsView::Close() {
  if (!fOpen) return;
  fOpen = false;
  fNodes.clear();
  fRoot = kNil;
  Reloaded();
}

// --- order and filter --------------------------------------------------------------------

void TMdsView::SetOrderBy(std::string_view orderBy) {
  if (!fTable) MdsError("ViewNoTable");
  std::vector<OrderItem> items;
  for (const std::string& part : Split(orderBy, ',')) {
    std::vector<std::string> words;
    for (const std::string& w : Split(part, ' ')) words.push_back(w);
    bool descending = false;
    if (words.size() == 2 && platform::SameTextAscii(words[1], "DESC")) {
      descending = true;
    } else if (words.size() == 2 && platform::SameTextAscii(words[1], "ASC")) {
      descending = false;
    } else if (words.size() != 1) {
      MdsError("BadOrderBy", {std::string(orderBy)});
    }
    const TMdsColumn* c = fTable->GetColumns().Find(words[0]);
    if (!c) MdsError("BadOrderBy", {std::string(orderBy)});
    bool repeated = false;
    for (const OrderItem& it : items) repeated = repeated || it.column == c;
    if (!repeated) items.push_back({c, descending});
  }
  fOrderByText = std::string(orderBy);
  fOrderBy = std::move(items);
  fOrder = EffectiveOrder();
  if (fOpen) {
    Rebuild();
    Reloaded();
  }
}

int TMdsView::GetSortMode(const TMdsColumn* column) const {
  for (std::size_t i = 0; i < fOrder.size(); ++i)
    if (fOrder[i].column == column)
      return fOrder[i].descending ? -static_cast<int>(i + 1) : static_cast<int>(i + 1);
  return 0;
}

void TMdsView::SetFilter(std::shared_ptr<const IMdsRecordFilter> filter) {
  fFilter = std::move(filter);
  Refilter();
}

void TMdsView::Refilter() {
  if (!fOpen) return;
  Rebuild();
  Reloaded();
}

bool TMdsView::Passes(const TMdsRecord* record) const {
  if (!fFilter) return true;
  try {
    return fFilter->Match(*record);
  } catch (...) {
    // A failing predicate must not leave the table half updated: the record
    // simply does not show.
    return false;
  }
}

int TMdsView::CompareRecords(const TMdsRecord* a, const TMdsRecord* b) const {
  for (const OrderItem& item : fOrder) {
    const void *pa = nullptr, *pb = nullptr;
    std::size_t la = 0, lb = 0;
    bool ha = a->PostedRaw(item.column, pa, la);
    bool hb = b->PostedRaw(item.column, pb, lb);
    int c = detail::CompareCells(item.column->GetTypeCode(), ha, pa, la, hb, pb, lb);
    if (c != 0) return item.descending ? -c : c;
  }
  return a->fSeq < b->fSeq ? -1 : (a->fSeq > b->fSeq ? 1 : 0);
}

// --- the tree ------------------------------------------------------------------------------

std::uint32_t TMdsView::NextPrio() {
  // xorshift64*: cheap, and good enough to keep the tree balanced.
  fRandom ^= fRandom >> 12;
  fRandom ^= fRandom << 25;
  fRandom ^= fRandom >> 27;
  return static_cast<std::uint32_t>((fRandom * 0x2545F4914F6CDD1Dull) >> 32);
}

void TMdsView::EnsureNodes(std::uint32_t slot) {
  if (slot >= fNodes.size()) {
    std::size_t want = std::max<std::size_t>(fTable ? fTable->fBySlot.size() : 0, slot + 1);
    fNodes.resize(std::max(want, fNodes.size() * 3 / 2));
  }
}

void TMdsView::Rebuild() {
  fNodes.clear();
  fRoot = kNil;
  if (!fOpen || !fTable) return;
  fNodes.resize(fTable->fBySlot.size());
  std::vector<std::uint32_t> slots;
  slots.reserve(fTable->fRecords.size());
  for (TMdsRecord* r : fTable->fRecords)
    if (Passes(r)) slots.push_back(r->fPlace.at.slot);
  std::sort(slots.begin(), slots.end(), [this](std::uint32_t a, std::uint32_t b) {
    return CompareRecords(RecordAt(a), RecordAt(b)) < 0;
  });
  BuildFrom(slots);
}

void TMdsView::BuildFrom(std::vector<std::uint32_t>& slots) {
  // A treap from sorted keys in linear time: the right spine on a stack.
  std::vector<std::uint32_t> spine;
  for (std::uint32_t s : slots) {
    Node& x = fNodes[s];
    x = Node{};
    x.prio = NextPrio();
    std::uint32_t last = kNil;
    while (!spine.empty() && fNodes[spine.back()].prio < x.prio) {
      last = spine.back();
      spine.pop_back();
    }
    x.left = last;
    if (last != kNil) fNodes[last].parent = s;
    if (!spine.empty()) {
      fNodes[spine.back()].right = s;
      x.parent = spine.back();
    }
    spine.push_back(s);
  }
  fRoot = spine.empty() ? kNil : spine.front();
  // Subtree sizes, children before parents (iterative post-order).
  if (fRoot == kNil) return;
  std::vector<std::pair<std::uint32_t, bool>> stack{{fRoot, false}};
  while (!stack.empty()) {
    auto [n, done] = stack.back();
    stack.pop_back();
    if (done) {
      fNodes[n].size = 1 + SizeOf(fNodes[n].left) + SizeOf(fNodes[n].right);
      continue;
    }
    stack.push_back({n, true});
    if (fNodes[n].left != kNil) stack.push_back({fNodes[n].left, false});
    if (fNodes[n].right != kNil) stack.push_back({fNodes[n].right, false});
  }
}

void TMdsView::RotateUp(std::uint32_t xi) {
  Node& x = fNodes[xi];
  const std::uint32_t pi = x.parent;
  Node& p = fNodes[pi];
  const std::uint32_t gi = p.parent;
  if (p.left == xi) {
    p.left = x.right;
    if (x.right != kNil) fNodes[x.right].parent = pi;
    x.right = pi;
  } else {
    p.right = x.left;
    if (x.left != kNil) fNodes[x.left].parent = pi;
    x.left = pi;
  }
  p.parent = xi;
  x.parent = gi;
  if (gi == kNil) {
    fRoot = xi;
  } else if (fNodes[gi].left == pi) {
    fNodes[gi].left = xi;
  } else {
    fNodes[gi].right = xi;
  }
  p.size = 1 + SizeOf(p.left) + SizeOf(p.right);
  x.size = 1 + SizeOf(x.left) + SizeOf(x.right);
}

void TMdsView::TreeInsert(std::uint32_t slot) {
  EnsureNodes(slot);
  Node& x = fNodes[slot];
  x = Node{};
  x.size = 1;
  x.prio = NextPrio();
  if (fRoot == kNil) {
    fRoot = slot;
    return;
  }
  const TMdsRecord* rec = RecordAt(slot);
  std::uint32_t cur = fRoot;
  for (;;) {
    Node& c = fNodes[cur];
    ++c.size;
    if (CompareRecords(rec, RecordAt(cur)) < 0) {
      if (c.left == kNil) {
        c.left = slot;
        break;
      }
      cur = c.left;
    } else {
      if (c.right == kNil) {
        c.right = slot;
        break;
      }
      cur = c.right;
    }
  }
  fNodes[slot].parent = cur;
  while (fNodes[slot].parent != kNil && fNodes[fNodes[slot].parent].prio < fNodes[slot].prio)
    RotateUp(slot);
}

void TMdsView::TreeRemove(std::uint32_t slot) {
  // Rotate the node down to a leaf, then cut it off.
  for (;;) {
    const Node& x = fNodes[slot];
    if (x.left == kNil && x.right == kNil) break;
    std::uint32_t child;
    if (x.left == kNil) {
      child = x.right;
    } else if (x.right == kNil) {
      child = x.left;
    } else {
      child = fNodes[x.left].prio > fNodes[x.right].prio ? x.left : x.right;
    }
    RotateUp(child);
  }
  const std::uint32_t p = fNodes[slot].parent;
  if (p == kNil) {
    fRoot = kNil;
  } else {
    if (fNodes[p].left == slot) {
      fNodes[p].left = kNil;
    } else {
      fNodes[p].right = kNil;
    }
    for (std::uint32_t a = p; a != kNil; a = fNodes[a].parent) --fNodes[a].size;
  }
  fNodes[slot] = Node{};
}

std::uint32_t TMdsView::Rank(std::uint32_t slot) const {
  std::uint32_t r = SizeOf(fNodes[slot].left);
  for (std::uint32_t x = slot; fNodes[x].parent != kNil; x = fNodes[x].parent) {
    const Node& p = fNodes[fNodes[x].parent];
    if (p.right == x) r += SizeOf(p.left) + 1;
  }
  return r;
}

std::uint32_t TMdsView::Select(std::uint32_t index) const {
  std::uint32_t x = fRoot;
  while (x != kNil) {
    const std::uint32_t l = SizeOf(fNodes[x].left);
    if (index < l) {
      x = fNodes[x].left;
    } else if (index == l) {
      return x;
    } else {
      index -= l + 1;
      x = fNodes[x].right;
    }
  }
  return kNil;
}

std::uint32_t TMdsView::First() const {
  std::uint32_t x = fRoot;
  if (x == kNil) return kNil;
  while (fNodes[x].left != kNil) x = fNodes[x].left;
  return x;
}

std::uint32_t TMdsView::Next(std::uint32_t n) const {
  if (fNodes[n].right != kNil) {
    n = fNodes[n].right;
    while (fNodes[n].left != kNil) n = fNodes[n].left;
    return n;
  }
  std::uint32_t p = fNodes[n].parent;
  while (p != kNil && fNodes[p].right == n) {
    n = p;
    p = fNodes[p].parent;
  }
  return p;
}

bool TMdsView::Contains(const TMdsRecord* record) const {
  if (!record || !fTable || record->fTable != fTable || !record->IsInTable()) return false;
  const std::uint32_t s = record->fPlace.at.slot;
  return s < fNodes.size() && fNodes[s].size > 0;
}

// --- records ---------------------------------------------------------------------------------

int TMdsView::GetRecordCount() const noexcept {
  return fOpen ? static_cast<int>(SizeOf(fRoot)) : 0;
}

int TMdsView::TRecords::Count() const noexcept {
  return fView->GetRecordCount();
}

TMdsRecord* TMdsView::TRecords::Item(int index) const {
  const int count = Count();
  if (index < 0 || index >= count) MdsError("IndexOutOfRange", {index, count - 1});
  return fView->RecordAt(fView->Select(static_cast<std::uint32_t>(index)));
}

TMdsView::TRecords::iterator TMdsView::TRecords::begin() const {
  return iterator(fView, fView->fOpen ? fView->First() : kNil);
}

TMdsView::TRecords::iterator TMdsView::TRecords::end() const {
  return iterator(fView, kNil);
}

TMdsRecord* TMdsView::TRecords::iterator::operator*() const {
  return fView->RecordAt(fNode);
}

TMdsView::TRecords::iterator& TMdsView::TRecords::iterator::operator++() {
  fNode = fView->Next(fNode);
  return *this;
}

int TMdsView::IndexOf(const TMdsRecord* record) const {
  if (!fOpen || !Contains(record)) return -1;
  return static_cast<int>(Rank(record->fPlace.at.slot));
}

int TMdsView::Find(std::span<const Variant> values, std::string_view fields,
                   TMdsLocateOptions options) const {
  if (!fOpen || !fTable) return -1;
  std::vector<const TMdsColumn*> cols;
  for (const std::string& name : Split(fields, ','))
    cols.push_back(fTable->GetColumns().GetName(name));
  if (cols.empty() || cols.size() != values.size()) return -1;
  const bool ci = options.Contains(TMdsLocateOption::CaseInsensitive);
  const bool partial = options.Contains(TMdsLocateOption::PartialKey);
  const bool display = options.Contains(TMdsLocateOption::DisplayText);

  if (display) {
    // Compare the display texts: walk the view.
    std::vector<std::string> texts;
    for (const Variant& v : values) texts.push_back(VarToStr(v));
    int index = 0;
    for (TMdsRecord* r : GetRecords()) {
      bool ok = true;
      for (std::size_t i = 0; ok && i < cols.size(); ++i) {
        std::string shown = r->Format(cols[i]);
        if (partial) {
          ok = ci ? platform::StartsText(shown, texts[i]) : shown.starts_with(texts[i]);
        } else {
          ok = ci ? platform::SameText(shown, texts[i]) : shown == texts[i];
        }
      }
      if (ok) return index;
      ++index;
    }
    return -1;
  }

  std::vector<detail::TRawCell> cells(values.size());
  try {
    for (std::size_t i = 0; i < values.size(); ++i)
      detail::ConvertToRaw(*cols[i], values[i], cells[i]);
  } catch (const EMdsError&) {
    return -1;  // a value the column cannot hold matches no record
  }
  auto fieldCmp = [&](const TMdsRecord* r, std::size_t i) {
    const void* p = nullptr;
    std::size_t len = 0;
    const bool has = r->PostedRaw(cols[i], p, len);
    const int type = cols[i]->GetTypeCode();
    if (has && !cells[i].isNull && IsTextType(type) && partial) {
      return CompareData(type, p, cells[i].text.data(), len, cells[i].text.size(),
                         {TMdsCompareOption::Partial});
    }
    return detail::CompareCells(type, has, p, len, !cells[i].isNull, cells[i].Ptr(),
                                cells[i].Len());
  };

  // Indexed search: the fields lead the order, case matters, and a prefix
  // match (which keeps the order monotonic only in the last field) applies
  // to no text field but the last.
  bool indexed = !ci && cols.size() <= fOrder.size();
  for (std::size_t i = 0; indexed && i < cols.size(); ++i) {
    indexed = fOrder[i].column == cols[i];
    if (partial && i + 1 < cols.size() && IsTextType(cols[i]->GetTypeCode())) indexed = false;
  }
  if (indexed) {
    auto cmp = [&](const TMdsRecord* r) {
      for (std::size_t i = 0; i < cols.size(); ++i) {
        int c = fieldCmp(r, i);
        if (c != 0) return fOrder[i].descending ? -c : c;
      }
      return 0;
    };
    const std::uint32_t idx = LowerBound(cmp);
    if (idx < SizeOf(fRoot) && cmp(RecordAt(Select(idx))) == 0) return static_cast<int>(idx);
    return -1;
  }

  int index = 0;
  for (TMdsRecord* r : GetRecords()) {
    bool ok = true;
    for (std::size_t i = 0; ok && i < cols.size(); ++i) {
      const int type = cols[i]->GetTypeCode();
      if (ci && IsTextType(type) && !cells[i].isNull) {
        const void* p = nullptr;
        std::size_t len = 0;
        if (!r->PostedRaw(cols[i], p, len)) {
          ok = false;
          break;
        }
        std::string_view text(static_cast<const char*>(p), len);
        ok = partial ? platform::StartsText(text, cells[i].text)
                     : platform::SameText(text, cells[i].text);
      } else {
        ok = fieldCmp(r, i) == 0;
      }
    }
    if (ok) return index;
    ++index;
  }
  return -1;
}

// --- changes of the table -------------------------------------------------------------------

void TMdsView::MarkChanged(int state) {
  if (state > fChangeState) fChangeState = state;
}

void TMdsView::Emit(TMdsViewEventKind kind, int oldIndex, int newIndex, TMdsRecord* record) {
  TMdsViewEvent e;
  e.Kind = kind;
  e.OldIndex = oldIndex;
  e.NewIndex = newIndex;
  e.Record = record;
  e.NotForDisplay = fTable && fTable->IsFrozen();
  if (e.NotForDisplay) fBatchChanged = true;
  if (fInternal) return;
  fEarlyLinks.ForEach([&](TMdsViewLink* l) { l->ViewEvent(e); });
  fLinks.ForEach([&](TMdsViewLink* l) { l->ViewEvent(e); });
}

void TMdsView::Reloaded() {
  MarkChanged(2);
  Emit(mveReloaded, -1, -1, nullptr);
  if (!fTable || !fTable->IsFrozen()) fChangeState = 0;
}

void TMdsView::RecordInserted(TMdsRecord* record) {
  if (!fOpen || !Passes(record)) return;
  TreeInsert(record->fPlace.at.slot);
  MarkChanged(1);
  Emit(mveInserted, -1, static_cast<int>(Rank(record->fPlace.at.slot)), record);
}

void TMdsView::RecordDeleting(TMdsRecord* record) {
  if (!fOpen || !Contains(record)) return;
  const int old = static_cast<int>(Rank(record->fPlace.at.slot));
  TreeRemove(record->fPlace.at.slot);
  MarkChanged(2);
  Emit(mveDeleted, old, -1, record);
}

void TMdsView::RecordChanged(TMdsRecord* record) {
  if (!fOpen) return;
  const bool was = Contains(record);
  const int old = was ? static_cast<int>(Rank(record->fPlace.at.slot)) : -1;
  if (was) TreeRemove(record->fPlace.at.slot);
  if (Passes(record)) {
    TreeInsert(record->fPlace.at.slot);
    const int now = static_cast<int>(Rank(record->fPlace.at.slot));
    MarkChanged(1);
    if (!was) {
      Emit(mveInserted, -1, now, record);
    } else {
      Emit(now == old ? mveChanged : mveMoved, old, now, record);
    }
  } else if (was) {
    MarkChanged(2);
    Emit(mveDeleted, old, -1, record);
  }
}

void TMdsView::TableCleared() {
  if (!fOpen) return;
  fNodes.clear();
  fRoot = kNil;
  Reloaded();
}

void TMdsView::TableColumnsChanged() {
  Emit(mveColumnsChanged, -1, -1, nullptr);
}

void TMdsView::TableKeyChanged() {
  if (!fOrderBy.empty()) return;
  fOrder = EffectiveOrder();
  if (fOpen) {
    Rebuild();
    Reloaded();
  }
}

void TMdsView::BatchEnded() {
  if (!fBatchChanged) return;
  fBatchChanged = false;
  Emit(mveReloaded, -1, -1, nullptr);
  fChangeState = 0;
}

void TMdsView::TableDying() {
  fTable = nullptr;
  const bool wasOpen = fOpen;
  fOpen = false;
  fNodes.clear();
  fRoot = kNil;
  fOrder.clear();
  fOrderBy.clear();
  if (wasOpen) {
    MarkChanged(2);
    Emit(mveReloaded, -1, -1, nullptr);
    fChangeState = 0;
  }
}

}  // namespace tarvo
