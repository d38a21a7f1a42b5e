#include "platform/core/Classes.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "platform/core/Text.h"

namespace tarvo {

using platform::SameTextAscii;

// --- stored properties -------------------------------------------------------------

TStoredValue TStoredValue::Integer(std::int64_t value) {
  TStoredValue v;
  v.fKind = svInteger;
  v.fInteger = value;
  return v;
}

TStoredValue TStoredValue::String(std::string value) {
  TStoredValue v;
  v.fKind = svString;
  v.fText = std::move(value);
  return v;
}

TStoredValue TStoredValue::Ident(std::string value) {
  TStoredValue v;
  v.fKind = svIdent;
  v.fText = std::move(value);
  return v;
}

TStoredValue TStoredValue::Set(std::vector<std::string> members) {
  TStoredValue v;
  v.fKind = svSet;
  v.fSet = std::move(members);
  return v;
}

TStoredValue TStoredValue::Object(TStoredObject value) {
  TStoredValue v;
  v.fKind = svObject;
  v.fObjects.push_back(std::move(value));
  return v;
}

TStoredValue TStoredValue::Collection(std::vector<TStoredObject> items) {
  TStoredValue v;
  v.fKind = svCollection;
  v.fObjects = std::move(items);
  return v;
}

void TStoredValue::Expect(TKind kind) const {
  if (fKind != kind) throw EReadError("Invalid property value");
}

std::int64_t TStoredValue::AsInteger() const {
  Expect(svInteger);
  return fInteger;
}

const std::string& TStoredValue::AsString() const {
  Expect(svString);
  return fText;
}

const std::string& TStoredValue::AsIdent() const {
  Expect(svIdent);
  return fText;
}

const std::vector<std::string>& TStoredValue::AsSet() const {
  Expect(svSet);
  return fSet;
}

const TStoredObject& TStoredValue::AsObject() const {
  Expect(svObject);
  return fObjects.front();
}

const std::vector<TStoredObject>& TStoredValue::AsCollection() const {
  Expect(svCollection);
  return fObjects;
}

bool operator==(const TStoredValue& a, const TStoredValue& b) {
  return a.fKind == b.fKind && a.fInteger == b.fInteger && a.fText == b.fText && a.fSet == b.fSet &&
         a.fObjects == b.fObjects;
}

void TStoredObject::Set(std::string_view name, TStoredValue value) {
  for (auto& p : fProperties) {
    if (SameTextAscii(p.name, name)) {
      p.value = std::move(value);
      return;
    }
  }
  fProperties.push_back({std::string(name), std::move(value)});
}

const TStoredValue* TStoredObject::Find(std::string_view name) const {
  for (const auto& p : fProperties)
    if (SameTextAscii(p.name, name)) return &p.value;
  return nullptr;
}

TStoredValue StoreColor(TColor color) {
  return TStoredValue::Integer(color);
}

TColor LoadColor(const TStoredValue& value) {
  const std::int64_t v = value.AsInteger();
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::uint32_t>::max())
    throw EReadError("Invalid property value");
  return static_cast<TColor>(static_cast<std::uint64_t>(v) & 0xFFFFFFFFu);
}

std::int64_t LoadInteger(const TStoredValue& value, std::int64_t min, std::int64_t max) {
  const std::int64_t v = value.AsInteger();
  if (v < min || v > max) throw EReadError("Invalid property value");
  return v;
}

TStoredValue StoreSetBits(std::uint64_t bits, std::span<const char* const> names) {
  std::vector<std::string> members;
  for (std::size_t i = 0; i < names.size() && i < 64; ++i)
    if (bits & (std::uint64_t{1} << i)) members.emplace_back(names[i]);
  return TStoredValue::Set(std::move(members));
}

std::size_t LoadIdent(const TStoredValue& value, std::span<const char* const> names) {
  const std::string& ident = value.AsIdent();
  for (std::size_t i = 0; i < names.size(); ++i)
    if (SameTextAscii(ident, names[i])) return i;
  throw EReadError("Invalid property value");
}

std::uint64_t LoadSetBits(const TStoredValue& value, std::span<const char* const> names) {
  std::uint64_t bits = 0;
  for (const std::string& member : value.AsSet()) {
    bool known = false;
    for (std::size_t i = 0; i < names.size() && i < 64; ++i) {
      if (SameTextAscii(member, names[i])) {
        bits |= std::uint64_t{1} << i;
        known = true;
        break;
      }
    }
    if (!known) throw EReadError("Invalid property value");
  }
  return bits;
}

// --- persistent objects --------------------------------------------------------------

TPersistent::~TPersistent() {
  // Safety net for objects nobody announced; see the header.
  (void)NotifyDestroying();
}

void AssignError(const TPersistent* source, const TPersistent& dest) {
  throw EConvertError(std::string("Cannot assign a ") + (source ? source->ClassName() : "nil") +
                      " to a " + dest.ClassName());
}

void TPersistent::Assign(const TPersistent& source) {
  source.AssignTo(*this);
}

void TPersistent::AssignTo(TPersistent& dest) const {
  AssignError(this, dest);
}

void TPersistent::FreeNotification(TPersistent* other) {
  if (!other || other == this || fDestroying || other->fDestroying) return;
  if (!IsLinked(other)) fFreeNotifies.push_back(other);
  if (!other->IsLinked(this)) other->fFreeNotifies.push_back(this);
}

void TPersistent::RemoveFreeNotification(TPersistent* other) {
  if (!other || other == this) return;
  Unlink(other);
  other->Unlink(this);
}

bool TPersistent::IsLinked(const TPersistent* other) const noexcept {
  return std::find(fFreeNotifies.begin(), fFreeNotifies.end(), other) != fFreeNotifies.end();
}

void TPersistent::Unlink(TPersistent* other) noexcept {
  auto it = std::find(fFreeNotifies.begin(), fFreeNotifies.end(), other);
  if (it != fFreeNotifies.end()) fFreeNotifies.erase(it);
}

void TPersistent::WriteProperties(TStoredObject&) const {}

void TPersistent::ReadProperties(const TStoredObject& in) {
  for (const auto& p : in.Properties()) {
    bool known;
    try {
      known = ReadProperty(p.name, p.value);
    } catch (const EComponentsError& e) {
      // Setters speak of their own rules; say where the value came from
      // (nested objects add their own prefix, giving the whole path).
      throw EReadError(std::string("Error reading ") + ClassName() + "." + p.name + ": " +
                       e.what());
    }
    if (!known)
      throw EReadError(std::string("Error reading ") + ClassName() + "." + p.name + ": Property " +
                       p.name + " does not exist");
  }
}

bool TPersistent::ReadProperty(std::string_view, const TStoredValue&) {
  return false;
}

void TPersistent::Notification(TPersistent*, TOperation) {}

std::exception_ptr TPersistent::NotifyDestroying() noexcept {
  fDestroying = true;
  if (fNotified) return nullptr;
  fNotified = true;
  std::exception_ptr first;
  // A handler may unlink or link others; take one partner at a time and
  // remove the link on both sides before telling it.
  while (!fFreeNotifies.empty()) {
    TPersistent* partner = fFreeNotifies.back();
    fFreeNotifies.pop_back();
    partner->Unlink(this);
    try {
      partner->Notification(this, opRemove);
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  return first;
}

// --- components -------------------------------------------------------------------

void TComponentFree::operator()(TComponent* component) const noexcept {
  if (!component) return;
  try {
    component->Free();
  } catch (...) {
    // Destruction has completed; only a handler's complaint is lost.
  }
}

TComponent::TComponent(TComponent* owner) : fOwner(owner) {
  // Bookkeeping only: the owner learns of the component (opInsert) once it is
  // whole, in Create.
  if (fOwner) fOwner->fComponents.push_back(this);
}

TComponent::~TComponent() {
  // Reached through Free (everything below is then done already) or, as a
  // safety net, when a constructor threw or someone deleted the component.
  (void)NotifyDestroying();
  (void)FreeOwned();
  if (fOwner) {
    auto& list = fOwner->fComponents;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    fOwner = nullptr;
  }
}

void TComponent::Free() {
  fUIThread.CalledOnValidThread("TComponent::Free");
  if (IsDestroying()) return;
  MarkDestroying();
  std::exception_ptr first;
  try {
    BeforeDestruction();
  } catch (...) {
    first = std::current_exception();
  }
  if (auto e = NotifyDestroying(); e && !first) first = e;
  if (auto e = FreeOwned(); e && !first) first = e;
  if (TComponent* owner = fOwner) {
    auto& list = owner->fComponents;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    fOwner = nullptr;
    try {
      owner->Notification(this, opRemove);
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  delete this;
  if (first) std::rethrow_exception(first);
}

std::exception_ptr TComponent::FreeOwned() noexcept {
  std::exception_ptr first;
  while (!fComponents.empty()) {
    TComponent* child = fComponents.back();
    // Detached first, so that the child neither tells this owner about
    // itself nor searches the list again.
    fComponents.pop_back();
    child->fOwner = nullptr;
    try {
      child->Free();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  return first;
}

TPersistent* TComponent::GetOwner() const {
  return fOwner;
}

namespace {

bool IsValidIdent(std::string_view s) {
  if (s.empty()) return false;
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (!letter(s[0])) return false;
  for (char c : s)
    if (!letter(c) && !(c >= '0' && c <= '9')) return false;
  return true;
}

}  // namespace

void TComponent::ValidateName(std::string_view name, const TComponent* owner) const {
  if (name.empty()) return;
  if (!IsValidIdent(name))
    throw EComponentError("Component name \"" + std::string(name) + "\" is not valid");
  if (owner) {
    for (const TComponent* c : owner->fComponents)
      if (c != this && SameTextAscii(c->fName, name))
        throw EComponentError("A component named " + std::string(name) + " already exists");
  }
}

void TComponent::SetName(std::string_view name) {
  fUIThread.CalledOnValidThread("TComponent::SetName");
  if (name == fName) return;
  ValidateName(name, fOwner);
  fName = std::string(name);
}

TComponent* TComponent::Components(int index) const {
  if (index < 0 || index >= ComponentCount())
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  return fComponents[static_cast<std::size_t>(index)];
}

TComponent* TComponent::FindComponent(std::string_view name) const {
  if (name.empty()) return nullptr;
  for (TComponent* c : fComponents)
    if (SameTextAscii(c->fName, name)) return c;
  return nullptr;
}

void TComponent::InsertComponent(TComponent* component) {
  fUIThread.CalledOnValidThread("TComponent::InsertComponent");
  if (!component || component->fOwner == this) return;
  for (const TComponent* o = this; o; o = o->fOwner)
    if (o == component) throw EComponentError("A component cannot own itself");
  component->ValidateName(component->fName, this);
  if (component->fOwner) component->fOwner->RemoveComponent(component);
  fComponents.push_back(component);
  component->fOwner = this;
  Notification(component, opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
  fUIThread.CalledOnValidThread("TComponent::RemoveComponent");
  if (!component || component->fOwner != this) return;
  fComponents.erase(std::remove(fComponents.begin(), fComponents.end(), component),
                    fComponents.end());
  component->fOwner = nullptr;
  Notification(component, opRemove);
}

void TComponent::WriteProperties(TStoredObject& out) const {
  if (!fName.empty()) out.Set("Name", TStoredValue::String(fName));
  if (fTag != 0) out.Set("Tag", TStoredValue::Integer(fTag));
}

bool TComponent::ReadProperty(std::string_view name, const TStoredValue& value) {
  if (SameTextAscii(name, "Name")) {
    try {
      SetName(value.AsString());
    } catch (const EComponentError& e) {
      throw EReadError(e.what());
    }
    return true;
  }
  if (SameTextAscii(name, "Tag")) {
    fTag = static_cast<std::intptr_t>(LoadInteger(value, std::numeric_limits<std::intptr_t>::min(),
                                                  std::numeric_limits<std::intptr_t>::max()));
    return true;
  }
  return false;
}

// --- collections ------------------------------------------------------------------

TCollectionItem::~TCollectionItem() {
  if (fCollection) {
    // Deleted directly rather than through its collection.
    (void)NotifyDestroying();
    TCollection* c = fCollection;
    c->DetachItem(this);
    try {
      c->Changed();
    } catch (...) {
      // A destructor does not throw; the item is gone either way.
    }
  }
}

TPersistent* TCollectionItem::GetOwner() const {
  return fCollection;
}

int TCollectionItem::Index() const noexcept {
  if (!fCollection) return -1;
  const auto& items = fCollection->fItems;
  auto it = std::find(items.begin(), items.end(), this);
  return it == items.end() ? -1 : static_cast<int>(it - items.begin());
}

void TCollectionItem::SetIndex(int index) {
  if (fCollection) fCollection->MoveItem(this, index);
}

void TCollectionItem::Changed(bool allItems) {
  if (!fCollection) return;
  if (allItems)
    fCollection->Changed();
  else
    fCollection->ItemChanged(this);
}

TCollection::~TCollection() {
  // No change notices from a collection that is going away: the overrides
  // that would receive them are already destroyed.
  while (!fItems.empty()) {
    TCollectionItem* item = fItems.back();
    fItems.pop_back();
    (void)item->NotifyDestroying();
    item->fCollection = nullptr;
    delete item;
  }
}

TCollectionItem* TCollection::Item(int index) const {
  if (index < 0 || index >= Count())
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  return fItems[static_cast<std::size_t>(index)];
}

TCollectionItem* TCollection::InsertItem(std::unique_ptr<TCollectionItem> item, int index) {
  if (index < 0 || index > Count())
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  TCollectionItem* raw = item.get();
  fItems.insert(fItems.begin() + index, raw);
  item.release();
  raw->fCollection = this;
  raw->fID = fNextID++;
  Notify(raw, cnAdded);
  Changed();
  return raw;
}

TCollectionItem* TCollection::Add() {
  return InsertItem(CreateItem(), Count());
}

TCollectionItem* TCollection::Insert(int index) {
  if (index < 0 || index > Count())
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  return InsertItem(CreateItem(), index);
}

void TCollection::DetachItem(TCollectionItem* item) noexcept {
  fItems.erase(std::remove(fItems.begin(), fItems.end(), item), fItems.end());
  item->fCollection = nullptr;
}

void TCollection::Delete(int index) {
  TCollectionItem* item = Item(index);
  std::exception_ptr first;
  try {
    Notify(item, cnDeleting);
  } catch (...) {
    first = std::current_exception();
  }
  if (auto e = item->NotifyDestroying(); e && !first) first = e;
  DetachItem(item);
  delete item;
  if (first) {
    try {
      Changed();
    } catch (...) {
    }
    std::rethrow_exception(first);
  }
  Changed();
}

void TCollection::Clear() {
  if (fItems.empty()) return;
  BeginUpdate();
  try {
    while (!fItems.empty()) Delete(Count() - 1);
  } catch (...) {
    try {
      EndUpdate();
    } catch (...) {
    }
    throw;
  }
  EndUpdate();
}

TCollectionItem* TCollection::FindItemID(int id) const {
  for (TCollectionItem* item : fItems)
    if (item->fID == id) return item;
  return nullptr;
}

void TCollection::EndUpdate() {
  if (fUpdateCount <= 0) return;
  if (--fUpdateCount == 0 && fChangedWhileUpdating) {
    fChangedWhileUpdating = false;
    Update(nullptr);
  }
}

void TCollection::Changed() {
  if (fUpdateCount > 0) {
    fChangedWhileUpdating = true;
    return;
  }
  Update(nullptr);
}

void TCollection::ItemChanged(TCollectionItem* item) {
  if (fUpdateCount > 0) {
    fChangedWhileUpdating = true;
    return;
  }
  Update(item);
}

void TCollection::MoveItem(TCollectionItem* item, int index) {
  const int current = item->Index();
  if (current < 0) return;
  index = std::clamp(index, 0, Count() - 1);
  if (index == current) return;
  fItems.erase(fItems.begin() + current);
  fItems.insert(fItems.begin() + index, item);
  Changed();
}

void TCollection::Update(TCollectionItem*) {}

void TCollection::Notify(TCollectionItem*, TCollectionNotification) {}

void TCollection::Assign(const TPersistent& source) {
  if (&source == this) return;
  const auto* other = dynamic_cast<const TCollection*>(&source);
  if (!other) return TPersistent::Assign(source);
  BeginUpdate();
  try {
    Clear();
    for (TCollectionItem* item : other->fItems) Add()->Assign(*item);
  } catch (...) {
    try {
      EndUpdate();
    } catch (...) {
    }
    throw;
  }
  EndUpdate();
}

TStoredValue TCollection::StoreItems() const {
  std::vector<TStoredObject> items;
  items.reserve(fItems.size());
  for (const TCollectionItem* item : fItems) {
    TStoredObject o;
    item->WriteProperties(o);
    items.push_back(std::move(o));
  }
  return TStoredValue::Collection(std::move(items));
}

void TCollection::LoadItems(const TStoredValue& value) {
  // Everything is read into stand-alone items first, so that a bad stored
  // item leaves the collection as it was.
  std::vector<std::unique_ptr<TCollectionItem>> loaded;
  for (const TStoredObject& o : value.AsCollection()) {
    auto item = CreateItem();
    item->ReadProperties(o);
    loaded.push_back(std::move(item));
  }
  BeginUpdate();
  try {
    Clear();
    for (auto& item : loaded) InsertItem(std::move(item), Count());
  } catch (...) {
    try {
      EndUpdate();
    } catch (...) {
    }
    throw;
  }
  EndUpdate();
}

// --- fonts --------------------------------------------------------------------

const char* const kFontStyleNames[4] = {"fsBold", "fsItalic", "fsUnderline", "fsStrikeOut"};
const char* const kFontPitchNames[3] = {"fpDefault", "fpVariable", "fpFixed"};

namespace {

// a * b / c rounded to the nearest integer, halves away from zero.
int MulDiv(int a, int b, int c) {
  const long long p = static_cast<long long>(a) * b;
  const long long q = (std::llabs(p) * 2 + c) / (2LL * c);
  return static_cast<int>(p < 0 ? -q : q);
}

}  // namespace

TTarvoFont::TTarvoFont()
    : fName("Sans"), fHeight(-MulDiv(8, kPixelsPerInch, 72)), fColor(clWindowText) {}

void TTarvoFont::Changed() {
  if (fOnChange) fOnChange(*this);
}

void TTarvoFont::SetName(std::string_view name) {
  if (name.empty()) throw EConvertError("A font needs a name");
  if (name == fName) return;
  fName = std::string(name);
  Changed();
}

void TTarvoFont::SetHeight(int height) {
  if (height < -kMaxHeight || height > kMaxHeight)
    throw EConvertError("Font height " + std::to_string(height) + " is out of range");
  if (height == fHeight) return;
  fHeight = height;
  Changed();
}

int TTarvoFont::Size() const noexcept {
  return -MulDiv(fHeight, 72, kPixelsPerInch);
}

void TTarvoFont::SetSize(int size) {
  // Points to pixels can overflow only far beyond any usable size.
  if (size < -kMaxHeight || size > kMaxHeight)
    throw EConvertError("Font size " + std::to_string(size) + " is out of range");
  SetHeight(-MulDiv(size, kPixelsPerInch, 72));
}

void TTarvoFont::SetColor(TColor color) {
  if (color == fColor) return;
  fColor = color;
  Changed();
}

void TTarvoFont::SetStyle(TFontStyles style) {
  if (style == fStyle) return;
  fStyle = style;
  Changed();
}

void TTarvoFont::SetPitch(TFontPitch pitch) {
  if (pitch == fPitch) return;
  fPitch = pitch;
  Changed();
}

void TTarvoFont::SetCharset(std::uint8_t charset) {
  if (charset == fCharset) return;
  fCharset = charset;
  Changed();
}

bool TTarvoFont::SameAs(const TTarvoFont& other) const noexcept {
  return fName == other.fName && fHeight == other.fHeight && fColor == other.fColor &&
         fStyle == other.fStyle && fPitch == other.fPitch && fCharset == other.fCharset;
}

void TTarvoFont::Assign(const TPersistent& source) {
  const auto* other = dynamic_cast<const TTarvoFont*>(&source);
  if (!other) return TPersistent::Assign(source);
  if (other == this || SameAs(*other)) return;
  fName = other->fName;
  fHeight = other->fHeight;
  fColor = other->fColor;
  fStyle = other->fStyle;
  fPitch = other->fPitch;
  fCharset = other->fCharset;
  Changed();
}

void TTarvoFont::WriteProperties(TStoredObject& out) const {
  out.Set("Charset", TStoredValue::Integer(fCharset));
  out.Set("Color", StoreColor(fColor));
  out.Set("Height", TStoredValue::Integer(fHeight));
  out.Set("Name", TStoredValue::String(fName));
  out.Set("Pitch", TStoredValue::Ident(kFontPitchNames[fPitch]));
  out.Set("Style", StoreSet(fStyle, kFontStyleNames));
}

bool TTarvoFont::ReadProperty(std::string_view name, const TStoredValue& value) {
  if (SameTextAscii(name, "Charset")) {
    SetCharset(static_cast<std::uint8_t>(LoadInteger(value, 0, 255)));
  } else if (SameTextAscii(name, "Color")) {
    SetColor(LoadColor(value));
  } else if (SameTextAscii(name, "Height")) {
    SetHeight(static_cast<int>(LoadInteger(value, -kMaxHeight, kMaxHeight)));
  } else if (SameTextAscii(name, "Size")) {
    SetSize(static_cast<int>(LoadInteger(value, -kMaxHeight, kMaxHeight)));
  } else if (SameTextAscii(name, "Name")) {
    if (value.AsString().empty()) throw EReadError("Invalid property value");
    SetName(value.AsString());
  } else if (SameTextAscii(name, "Pitch")) {
    SetPitch(static_cast<TFontPitch>(LoadIdent(value, kFontPitchNames)));
  } else if (SameTextAscii(name, "Style")) {
    SetStyle(LoadSet<TFontStyle>(value, kFontStyleNames));
  } else {
    return false;
  }
  return true;
}

}  // namespace tarvo
