#include "style/TarvoStyle.h"

#include <algorithm>
#include <map>

#include "platform/core/Text.h"

namespace tarvo {

using platform::SameTextAscii;

const char* const kColorValueNames[2] = {"tcvBackColor", "tcvForeColor"};
const char* const kStyleValueNames[2] = {"tsvColor", "tsvFont"};

namespace {

// Runs a batch-closing step after a failure without hiding the failure.
template <class F>
void CloseQuietly(F&& close) noexcept {
  try {
    close();
  } catch (...) {
  }
}

}  // namespace

// --- collections ---------------------------------------------------------------

void TTarvoCollection::Update(TCollectionItem* item) {
  TOwnedCollection::Update(item);
  if (fOnUpdate) fOnUpdate(*this, item);
}

// --- colour entries --------------------------------------------------------------

void TTarvoCustomColors::Change() {
  Changed(false);
  if (fOnChange) fOnChange(*this);
}

void TTarvoCustomColors::SetAvailable(TTarvoColorValues value) {
  if (value == fAvailable) return;
  fAvailable = value;
  Change();
}

void TTarvoCustomColors::SetSpecified(TTarvoColorValues value) {
  if (value == fSpecified) return;
  fSpecified = value;
  Change();
}

void TTarvoCustomColors::SetBackColor(TColor value) {
  if (value == fBackColor) return;
  fBackColor = value;
  fActualBack = value;
  Change();
}

void TTarvoCustomColors::SetForeColor(TColor value) {
  if (value == fForeColor) return;
  fForeColor = value;
  fActualFore = value;
  Change();
}

void TTarvoCustomColors::SetName(std::string_view value) {
  if (value == fName) return;
  fName = std::string(value);
  Change();
}

void TTarvoCustomColors::SetCaption(std::string_view value) {
  if (value == fName) value = {};
  if (value == fCaption) return;
  fCaption = std::string(value);
  Change();
}

void TTarvoCustomColors::LinkOrigin(TTarvoCustomColors* value) {
  if (value == fOrigin) return;
  TTarvoCustomColors* old = fOrigin;
  fOrigin = value;
  // One link serves both directions; keep it while the old origin still has
  // this entry as its own origin.
  if (old && old->fOrigin != this) RemoveFreeNotification(old);
  if (value) FreeNotification(value);
}

void TTarvoCustomColors::SetOrigin(TTarvoCustomColors* value) {
  if (value == this) throw EConvertError("A colour entry cannot be its own origin");
  if (value && value->IsDestroying()) value = nullptr;
  if (value == fOrigin) return;
  LinkOrigin(value);
  Change();
}

void TTarvoCustomColors::Notification(TPersistent* sender, TOperation operation) {
  TCollectionItem::Notification(sender, operation);
  // The origin goes away: the entry keeps its own values and resolved colours
  // and simply has no origin from now on.
  if (operation == opRemove && sender == fOrigin) fOrigin = nullptr;
}

TColor TTarvoCustomColors::GetValue(TTarvoColorValue value) const noexcept {
  const bool specified = fSpecified.Contains(value);
  if (!fOrigin) return specified ? OwnColor(value) : clDefault;
  const bool originSpecifies = fOrigin->fSpecified.Contains(value);
  if (specified)
    return originSpecifies && fOrigin->OwnColor(value) == OwnColor(value) ? clDefault
                                                                          : OwnColor(value);
  return originSpecifies ? clNone : clDefault;
}

void TTarvoCustomColors::SetValue(TTarvoColorValue value, TColor color) {
  if (!fAvailable.Contains(value)) return;
  if (color == clDefault || color == clNone) {
    SetSpecified(fSpecified - TTarvoColorValues{value});
    return;
  }
  if (value == tcvBackColor)
    SetBackColor(color);
  else
    SetForeColor(color);
  SetSpecified(fSpecified + TTarvoColorValues{value});
}

TColor TTarvoCustomColors::GetColor(TTarvoColorValue value) const noexcept {
  switch (value) {
    case tcvBackColor:
      return fActualBack;
    case tcvForeColor:
      return fActualFore;
  }
  return clNone;
}

bool TTarvoCustomColors::Customized() const {
  if (!fOrigin) return !(fAvailable * fSpecified).Empty();
  return GetValue(tcvBackColor) != clDefault || GetValue(tcvForeColor) != clDefault;
}

void TTarvoCustomColors::Update(const TTarvoCustomStyles& styles,
                                const TTarvoCustomColors* origin) {
  if (origin) SetCaption(origin->Caption());
  if (HasBackColor())
    fActualBack = fBackColor;
  else if (origin && origin->HasBackColor())
    fActualBack = origin->fBackColor;
  else
    fActualBack = styles.Color();
  if (HasForeColor())
    fActualFore = fForeColor;
  else if (origin && origin->HasForeColor())
    fActualFore = origin->fForeColor;
  else
    fActualFore = styles.Font().Color();
}

void TTarvoCustomColors::Assign(const TPersistent& source) {
  const auto* other = dynamic_cast<const TTarvoCustomColors*>(&source);
  if (!other) return TCollectionItem::Assign(source);
  if (other == this) return;
  // An entry copied from its own borrower would become its own origin.
  TTarvoCustomColors* origin = other->fOrigin == this ? nullptr : other->fOrigin;
  const bool same = fName == other->fName && fCaption == other->fCaption &&
                    fAvailable == other->fAvailable && fBackColor == other->fBackColor &&
                    fForeColor == other->fForeColor && fSpecified == other->fSpecified &&
                    fOrigin == origin && fActualBack == other->fActualBack &&
                    fActualFore == other->fActualFore;
  if (same) return;
  fName = other->fName;
  fCaption = other->fCaption;
  fAvailable = other->fAvailable;
  fBackColor = other->fBackColor;
  fForeColor = other->fForeColor;
  fSpecified = other->fSpecified;
  LinkOrigin(origin);
  fActualBack = other->fActualBack;
  fActualFore = other->fActualFore;
  Change();
}

void TTarvoColors::WriteProperties(TStoredObject& out) const {
  if (!Name().empty()) out.Set("Name", TStoredValue::String(Name()));
  if (!StoredCaption().empty() && StoredCaption() != Name())
    out.Set("Caption", TStoredValue::String(StoredCaption()));
  if (!Available().Empty()) out.Set("Available", StoreSet(Available(), kColorValueNames));
  if (!Specified().Empty()) out.Set("Specified", StoreSet(Specified(), kColorValueNames));
  if (HasBackColor()) out.Set("BackColor", StoreColor(BackColor()));
  if (HasForeColor()) out.Set("ForeColor", StoreColor(ForeColor()));
}

bool TTarvoColors::ReadProperty(std::string_view name, const TStoredValue& value) {
  if (SameTextAscii(name, "Name"))
    SetName(value.AsString());
  else if (SameTextAscii(name, "Caption"))
    SetCaption(value.AsString());
  else if (SameTextAscii(name, "Available"))
    SetAvailable(LoadSet<TTarvoColorValue>(value, kColorValueNames));
  else if (SameTextAscii(name, "Specified"))
    SetSpecified(LoadSet<TTarvoColorValue>(value, kColorValueNames));
  else if (SameTextAscii(name, "BackColor"))
    SetBackColor(LoadColor(value));
  else if (SameTextAscii(name, "ForeColor"))
    SetForeColor(LoadColor(value));
  else
    return TTarvoCustomColors::ReadProperty(name, value);
  return true;
}

void ApplyColors(ITarvoColorCanvas& canvas, const TTarvoCustomColors& colors) {
  if (colors.HasBackColor()) canvas.SetBrushColor(colors.BackColor());
  if (colors.HasForeColor()) canvas.SetFontColor(colors.ForeColor());
}

// --- colour lists -------------------------------------------------------------

std::unique_ptr<TTarvoCustomColors> TTarvoColorsCollection::CreateColors() const {
  return std::make_unique<TTarvoColors>();
}

TTarvoCustomColors* TTarvoColorsCollection::Find(std::string_view name) const {
  for (int i = 0; i < Count(); ++i)
    if (Items(i)->Name() == name) return Items(i);
  return nullptr;
}

void TTarvoColorsCollection::LinkOrigin(TTarvoColorsCollection* value) {
  if (value && value->IsDestroying()) value = nullptr;
  if (value == fOrigin) return;
  TTarvoColorsCollection* old = fOrigin;
  fOrigin = value;
  if (old && old->fOrigin != this) RemoveFreeNotification(old);
  if (value) FreeNotification(value);
}

void TTarvoColorsCollection::Notification(TPersistent* sender, TOperation operation) {
  TTarvoCollection::Notification(sender, operation);
  if (operation == opRemove && sender == fOrigin) fOrigin = nullptr;
}

void TTarvoColorsCollection::Borrow(TTarvoColorsCollection* origin) {
  if (origin == this) throw EConvertError("A colour list cannot borrow from itself");
  LinkOrigin(origin);
  BeginUpdate();
  try {
    Clear();
    if (fOrigin) {
      for (int i = 0; i < fOrigin->Count(); ++i) {
        TTarvoCustomColors* source = fOrigin->Items(i);
        TTarvoCustomColors* entry = Add();
        entry->Assign(*source);
        entry->SetOrigin(source);
      }
    }
  } catch (...) {
    CloseQuietly([this] { EndUpdate(); });
    throw;
  }
  EndUpdate();
}

bool TTarvoColorsCollection::Customized() const {
  for (int i = 0; i < Count(); ++i)
    if (Items(i)->Customized()) return true;
  return false;
}

void TTarvoColorsCollection::Assign(const TPersistent& source) {
  const auto* other = dynamic_cast<const TTarvoColorsCollection*>(&source);
  if (!other) return TTarvoCollection::Assign(source);
  if (other == this) return;
  LinkOrigin(other->fOrigin == this ? nullptr : other->fOrigin);
  BeginUpdate();
  try {
    // k-th source entry of a name goes to the k-th destination entry of that
    // name; with unique names this is plain matching by name.
    std::map<std::string, int> seen;
    std::vector<bool> matched(static_cast<std::size_t>(Count()), false);
    for (int i = 0; i < other->Count(); ++i) {
      const TTarvoCustomColors* from = other->Items(i);
      const int occurrence = seen[from->Name()]++;
      TTarvoCustomColors* to = nullptr;
      int k = 0;
      for (int j = 0; j < static_cast<int>(matched.size()); ++j) {
        if (Items(j)->Name() == from->Name() && k++ == occurrence) {
          to = Items(j);
          matched[static_cast<std::size_t>(j)] = true;
          break;
        }
      }
      if (!to) {
        to = Add();
        matched.push_back(true);
      }
      to->Assign(*from);
    }
    for (int j = Count() - 1; j >= 0; --j)
      if (!matched[static_cast<std::size_t>(j)]) Delete(j);
  } catch (...) {
    CloseQuietly([this] { EndUpdate(); });
    throw;
  }
  EndUpdate();
}

// --- styles --------------------------------------------------------------------

// Marks a base value as being copied in from a parent for the guard's life.
class TTarvoCustomStyles::TLockGuard {
 public:
  TLockGuard(TTarvoCustomStyles& styles, TTarvoStyleValue value)
      : fStyles(styles), fValue(value), fWasLocked(styles.fLock.Contains(value)) {
    fStyles.fLock.Include(value);
  }
  ~TLockGuard() {
    if (!fWasLocked) fStyles.fLock.Exclude(fValue);
  }
  TLockGuard(const TLockGuard&) = delete;
  TLockGuard& operator=(const TLockGuard&) = delete;

 private:
  TTarvoCustomStyles& fStyles;
  TTarvoStyleValue fValue;
  bool fWasLocked;
};

TTarvoCustomStyles::TTarvoCustomStyles(TComponent* owner) : fItems(this), fOwner(owner) {
  fFont.SetOnChange([this](TPersistent&) { FontChanged(); });
  fItems.SetOnUpdate([this](TCollection&, TCollectionItem*) { Changed(); });
}

TTarvoCustomStyles::~TTarvoCustomStyles() {
  // The list and the font die with the styles; their handlers point here.
  fItems.SetOnUpdate(nullptr);
  fFont.SetOnChange(nullptr);
}

TPersistent* TTarvoCustomStyles::GetOwner() const {
  return fOwner;
}

void TTarvoCustomStyles::SetColor(TColor value) {
  if (fLock.Contains(tsvColor)) {
    fColor = value;
    return;
  }
  TTarvoStyleValues owns = fOwns;
  if (value == clDefault)
    owns.Exclude(tsvColor);
  else
    owns.Include(tsvColor);
  if (value == fColor && owns == fOwns) return;
  fColor = value;
  fOwns = owns;
  Changed();
}

void TTarvoCustomStyles::FontChanged() {
  if (fLock.Contains(tsvFont)) return;
  fOwns.Include(tsvFont);
  Changed();
}

void TTarvoCustomStyles::SetOwns(TTarvoStyleValues value) {
  if (value == fOwns) return;
  fOwns = value;
  Changed();
}

void TTarvoCustomStyles::Changed() {
  if (fChangeLocks > 0) {
    ++fChangeCount;
    return;
  }
  ++fChangeLocks;
  try {
    if (fOnChange) fOnChange(*this);
  } catch (...) {
    --fChangeLocks;
    fChangeCount = 0;
    throw;
  }
  --fChangeLocks;
  fChangeCount = 0;
}

void TTarvoCustomStyles::LeaveChanges() {
  if (fChangeLocks <= 0) return;
  if (--fChangeLocks == 0 && fChangeCount != 0) Changed();
}

bool TTarvoCustomStyles::Customized() const {
  return !fOwns.Empty() || fItems.Customized();
}

void TTarvoCustomStyles::Reset() {
  if (TTarvoColorsCollection* origin = fItems.Origin()) fItems.Borrow(origin);
}

void TTarvoCustomStyles::Update(const TTarvoCustomStyles* parent) {
  if (parent && parent != this) {
    if (!fOwns.Contains(tsvFont)) {
      TLockGuard lock(*this, tsvFont);
      fFont.Assign(parent->fFont);
    }
    if (!fOwns.Contains(tsvColor)) {
      TLockGuard lock(*this, tsvColor);
      SetColor(parent->fColor);
    }
  }
  for (int i = 0; i < fItems.Count(); ++i) {
    TTarvoCustomColors* entry = fItems.Items(i);
    entry->Update(*this, entry->Origin());
  }
}

void TTarvoCustomStyles::Assign(const TPersistent& source) {
  const auto* other = dynamic_cast<const TTarvoCustomStyles*>(&source);
  if (!other) return TPersistent::Assign(source);
  if (other == this) return;
  BeginChanges();
  try {
    SetColor(other->fColor);
    fFont.Assign(other->fFont);
    SetOwns(other->fOwns);
    fItems.Assign(other->fItems);
  } catch (...) {
    CloseQuietly([this] { LeaveChanges(); });
    throw;
  }
  LeaveChanges();
}

void TTarvoCustomStyles::WriteProperties(TStoredObject& out) const {
  if (HasColor()) out.Set("Color", StoreColor(fColor));
  if (HasFont()) {
    TStoredObject font;
    fFont.WriteProperties(font);
    out.Set("Font", TStoredValue::Object(std::move(font)));
  }
}

bool TTarvoCustomStyles::ReadProperty(std::string_view name, const TStoredValue& value) {
  if (SameTextAscii(name, "Color")) {
    SetColor(LoadColor(value));
    return true;
  }
  if (SameTextAscii(name, "Font")) {
    // Read into a copy first: a bad stored font leaves the styles' font as
    // it was, and a good one arrives as one change.
    TTarvoFont font;
    font.Assign(fFont);
    font.ReadProperties(value.AsObject());
    fFont.Assign(font);
    SetOwns(fOwns + TTarvoStyleValues{tsvFont});  // also when the font was the same
    return true;
  }
  return TPersistent::ReadProperty(name, value);
}

void TTarvoSimpleStyles::WriteProperties(TStoredObject& out) const {
  TTarvoCustomStyles::WriteProperties(out);
  if (Items().Count() > 0) out.Set("Items", Items().StoreItems());
}

bool TTarvoSimpleStyles::ReadProperty(std::string_view name, const TStoredValue& value) {
  if (SameTextAscii(name, "Items")) {
    Items().LoadItems(value);
    return true;
  }
  return TTarvoCustomStyles::ReadProperty(name, value);
}

// --- the styled control ------------------------------------------------------

TTarvoStyleTarget::~TTarvoStyleTarget() {
  (void)StyleTargetDestroying();
}

std::exception_ptr TTarvoStyleTarget::StyleTargetDestroying() noexcept {
  fDestroying = true;
  std::exception_ptr first;
  while (!fStylers.empty()) {
    TTarvoCustomStyler* styler = fStylers.back();
    fStylers.pop_back();
    try {
      if (styler->Target() == this) styler->SetTarget(nullptr);
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  return first;
}

// --- schemes -------------------------------------------------------------------

TTarvoCustomScheme::~TTarvoCustomScheme() {
  if (fStyles) fStyles->SetOnChange(nullptr);
}

void TTarvoCustomScheme::AfterConstruction() {
  TComponent::AfterConstruction();
  fStyles = CreateStyles();
  fMemory = CreateStyles();
  if (!fStyles || !fMemory) throw EComponentError(std::string(ClassName()) + " made no styles");
  fStyles->SetOnChange([this](TPersistent&) { Changed(); });
}

TTarvoCustomStyles& TTarvoCustomScheme::Styles() const {
  if (!fStyles)
    throw EComponentError(std::string(ClassName()) + " was not made by TComponent::Create");
  return *fStyles;
}

TTarvoCustomStyles& TTarvoCustomScheme::Memory() const {
  if (!fMemory)
    throw EComponentError(std::string(ClassName()) + " was not made by TComponent::Create");
  return *fMemory;
}

void TTarvoCustomScheme::AppendStyler(TTarvoCustomStyler* styler) {
  if (!styler || IsDestroying() || styler->IsDestroying()) return;
  if (std::find(fNotify.begin(), fNotify.end(), styler) != fNotify.end()) return;
  fNotify.push_back(styler);
  FreeNotification(styler);
}

void TTarvoCustomScheme::RemoveStyler(TTarvoCustomStyler* styler) {
  auto it = std::find(fNotify.begin(), fNotify.end(), styler);
  if (it == fNotify.end()) return;
  fNotify.erase(it);
  // The link also carries the styler's watch on this scheme; keep it while
  // the styler still refers here.
  if (styler->Scheme() != this) RemoveFreeNotification(styler);
}

void TTarvoCustomScheme::Notification(TPersistent* sender, TOperation operation) {
  TComponent::Notification(sender, operation);
  if (operation != opRemove) return;
  auto it = std::find(fNotify.begin(), fNotify.end(), sender);
  if (it != fNotify.end()) fNotify.erase(it);
}

void TTarvoCustomScheme::Changed() {
  fModified = true;
  // Entries may change their captions while the styles resolve; that is part
  // of this change, announced below, not a new one.
  if (fUpdating) return;
  fUpdating = true;
  try {
    Styles().Update(nullptr);
  } catch (...) {
    fUpdating = false;
    throw;
  }
  fUpdating = false;
  std::exception_ptr first;
  const std::vector<TTarvoCustomStyler*> stylers = fNotify;
  for (TTarvoCustomStyler* styler : stylers) {
    // A handler may have detached or freed a styler further down the list.
    if (std::find(fNotify.begin(), fNotify.end(), styler) == fNotify.end()) continue;
    try {
      styler->Changed();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  try {
    if (fOnChange) fOnChange(*this);
  } catch (...) {
    if (!first) first = std::current_exception();
  }
  if (first) std::rethrow_exception(first);
}

void TTarvoCustomScheme::Backup() {
  Memory().Assign(Styles());
}

void TTarvoCustomScheme::Recall() {
  Styles().Assign(Memory());
}

void TTarvoCustomScheme::Assign(const TPersistent& source) {
  const auto* other = dynamic_cast<const TTarvoCustomScheme*>(&source);
  if (!other) return TComponent::Assign(source);
  if (other == this) return;
  SetName(other->Name());
  SetTag(other->Tag());
  Styles().Assign(other->Styles());
}

void TTarvoCustomScheme::WriteCaptionAndStyles(TStoredObject& out) const {
  if (!fCaption.empty() && fCaption != Name()) out.Set("Caption", TStoredValue::String(fCaption));
  TStoredObject styles;
  Styles().WriteProperties(styles);
  if (!styles.Empty()) out.Set("Styles", TStoredValue::Object(std::move(styles)));
}

bool TTarvoCustomScheme::ReadCaptionOrStyles(std::string_view name, const TStoredValue& value) {
  if (SameTextAscii(name, "Caption")) {
    SetCaption(value.AsString());
    return true;
  }
  if (SameTextAscii(name, "Styles")) {
    // One batch: the stylers hear of the stored styles once.
    TTarvoCustomStyles& styles = Styles();
    styles.BeginChanges();
    try {
      styles.ReadProperties(value.AsObject());
    } catch (...) {
      CloseQuietly([&styles] { styles.LeaveChanges(); });
      throw;
    }
    styles.LeaveChanges();
    return true;
  }
  return false;
}

std::unique_ptr<TTarvoCustomStyles> TTarvoSimpleScheme::CreateStyles() {
  auto styles = std::make_unique<TTarvoSimpleStyles>(this);
  styles->SetColor(clWindow);
  styles->SetOwns({tsvColor, tsvFont});
  return styles;
}

void TTarvoSimpleScheme::WriteProperties(TStoredObject& out) const {
  TTarvoCustomScheme::WriteProperties(out);
  WriteCaptionAndStyles(out);
}

bool TTarvoSimpleScheme::ReadProperty(std::string_view name, const TStoredValue& value) {
  return ReadCaptionOrStyles(name, value) || TTarvoCustomScheme::ReadProperty(name, value);
}

// --- stylers -------------------------------------------------------------------

TTarvoCustomStyler::~TTarvoCustomStyler() {
  // Only reached without Free's first phase (a failed creation): drop the
  // back references so that neither side keeps a dangling pointer.
  if (fTarget) {
    auto& list = fTarget->fStylers;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
  if (TTarvoCustomScheme* scheme = fScheme) {
    fScheme = nullptr;
    scheme->RemoveStyler(this);
  }
  if (fStyles) fStyles->SetOnChange(nullptr);
}

void TTarvoCustomStyler::AfterConstruction() {
  TComponent::AfterConstruction();
  fStyles = CreateStyles();
  if (!fStyles) throw EComponentError(std::string(ClassName()) + " made no styles");
  fStyles->SetOnChange([this](TPersistent&) { Changed(); });
}

void TTarvoCustomStyler::BeforeDestruction() {
  // Changed does nothing from here on (IsDestroying), so the setters only
  // release the control and leave the scheme.
  std::exception_ptr first;
  try {
    SetTarget(nullptr);
  } catch (...) {
    first = std::current_exception();
  }
  try {
    SetScheme(nullptr);
  } catch (...) {
    if (!first) first = std::current_exception();
  }
  TComponent::BeforeDestruction();
  if (first) std::rethrow_exception(first);
}

std::unique_ptr<TTarvoCustomStyles> TTarvoCustomStyler::CreateStyles() {
  return std::make_unique<TTarvoCustomStyles>(this);
}

TTarvoCustomStyles& TTarvoCustomStyler::Styles() const {
  if (!fStyles)
    throw EComponentError(std::string(ClassName()) + " was not made by TComponent::Create");
  return *fStyles;
}

void TTarvoCustomStyler::SetScheme(TTarvoCustomScheme* value) {
  if (value && (value->IsDestroying() || IsDestroying())) value = nullptr;
  if (value == fScheme) return;
  if (TTarvoCustomScheme* old = fScheme) {
    fScheme = nullptr;
    old->RemoveStyler(this);  // also drops the link, as Scheme() is no longer old
  }
  fScheme = value;
  if (value) {
    value->AppendStyler(this);
    FreeNotification(value);
  }
  Changed();
}

void TTarvoCustomStyler::SetTarget(TTarvoStyleTarget* value) {
  if (value && (value->fDestroying || IsDestroying())) value = nullptr;
  if (value == fTarget) return;
  if (TTarvoStyleTarget* old = fTarget) {
    ReleaseTarget();
    auto& list = old->fStylers;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    fTarget = nullptr;
  }
  fTarget = value;
  if (value) {
    value->fStylers.push_back(this);
    AcquireTarget();
  }
  Changed();
}

void TTarvoCustomStyler::Notification(TPersistent* sender, TOperation operation) {
  TComponent::Notification(sender, operation);
  if (operation == opRemove && sender == fScheme && fScheme) SetScheme(nullptr);
}

void TTarvoCustomStyler::Changed() {
  if (fLocked || IsDestroying()) return;
  if (fScheme) {
    fLocked = true;
    TTarvoCustomStyles& styles = Styles();
    styles.BeginChanges();
    try {
      styles.Update(&fScheme->Styles());
    } catch (...) {
      CloseQuietly([&styles] { styles.LeaveChanges(); });
      fLocked = false;
      throw;
    }
    try {
      styles.LeaveChanges();
    } catch (...) {
      fLocked = false;
      throw;
    }
    fLocked = false;
  }
  if (fOnChange) fOnChange(*this);
  if (fTarget) fTarget->Invalidate();
}

void TTarvoCustomStyler::Assign(const TPersistent& source) {
  const auto* other = dynamic_cast<const TTarvoCustomStyler*>(&source);
  if (!other) return TComponent::Assign(source);
  if (other == this) return;
  SetName(other->Name());
  SetTag(other->Tag());
  Styles().Assign(other->Styles());
}

}  // namespace tarvo
