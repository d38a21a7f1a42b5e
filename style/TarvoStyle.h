// Colour schemes and styles.
//
// The terminal defines named colour schemes once and applies them to many
// controls:
//   - a colour entry (TTarvoCustomColors) is one named pair of colours, back
//     and text, with the values it supports (Available) and the values it sets
//     itself (Specified); it may have an Origin, the entry of a parent list it
//     was copied from, and then tells what the local copy changed (GetValue);
//   - a colour list (TTarvoColorsCollection) holds entries by name and can
//     Borrow a whole parent list;
//   - a styles object (TTarvoCustomStyles) is a base colour, a base font and a
//     colour list, with batched change notices;
//   - a scheme (TTarvoCustomScheme) is a named component that owns a styles
//     object and tells its stylers when it changes;
//   - a styler (TTarvoCustomStyler) binds one scheme to one control: its own
//     styles take everything from the scheme's styles except what was
//     customised locally, and the control is repainted whenever the result
//     changes.
//
// Changes flow one way: scheme styles change -> scheme Changed -> each
// attached styler Changed -> styler styles updated from the scheme -> styler
// OnChange -> target repainted.
//
// Colours are TColor values (platform/core/Colors.h). Two markers take part in
// the lists: clDefault (0x20000000, inherited from the level above) and clNone
// (0x1FFFFFFF, explicitly removed).
//
// References never dangle: an entry's Origin and a list's origin are cleared
// when the origin is destroyed; a styler's Scheme and Target are cleared
// through their setters when the scheme or the control goes away, and a scheme
// forgets a styler that goes away (platform/core/Classes.h, destruction
// notices).
//
// Threads: everything here belongs to the user-interface thread.
//
// The grid, the chart and the actions derive their own styles, schemes and
// stylers from these classes; the hooks they use are the virtual functions
// marked "override point".
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/Classes.h"
#include "platform/core/Colors.h"

namespace tarvo {

enum TTarvoColorValue : std::uint8_t { tcvBackColor, tcvForeColor };
using TTarvoColorValues = TSet<TTarvoColorValue>;
enum TTarvoStyleValue : std::uint8_t { tsvColor, tsvFont };
using TTarvoStyleValues = TSet<TTarvoStyleValue>;

extern const char* const kColorValueNames[2];  // "tcvBackColor", "tcvForeColor"
extern const char* const kStyleValueNames[2];  // "tsvColor", "tsvFont"

class TTarvoCustomStyles;
class TTarvoCustomScheme;
class TTarvoCustomStyler;

// --- collections ---------------------------------------------------------------

// An owned collection that forwards every change notice to OnUpdate after the
// standard handling.
class TTarvoCollection : public TOwnedCollection {
 public:
  const char* ClassName() const override { return "TTarvoCollection"; }
  const TCollectionEvent& OnUpdate() const noexcept { return fOnUpdate; }
  void SetOnUpdate(TCollectionEvent handler) { fOnUpdate = std::move(handler); }

 protected:
  explicit TTarvoCollection(TPersistent* owner) : TOwnedCollection(owner) {}
  void Update(TCollectionItem* item) override;

 private:
  TCollectionEvent fOnUpdate;
};

// --- colour entries --------------------------------------------------------------

// One named colour pair. Usable inside a TTarvoColorsCollection or stand-alone
// (the grid and the chart keep fixed entries of their own).
//
// Every setter does nothing when the value is unchanged; otherwise it stores
// the value and raises the entry's change: the collection's change notice for
// this item, then OnChange.
class TTarvoCustomColors : public TCollectionItem {
 public:
  TTarvoCustomColors() = default;
  const char* ClassName() const override { return "TTarvoCustomColors"; }

  // Which of the two colours the entry supports at all (initially none).
  TTarvoColorValues Available() const noexcept { return fAvailable; }
  void SetAvailable(TTarvoColorValues value);
  // Which colours are set locally (initially none).
  TTarvoColorValues Specified() const noexcept { return fSpecified; }
  void SetSpecified(TTarvoColorValues value);
  bool HasBackColor() const noexcept { return fSpecified.Contains(tcvBackColor); }
  bool HasForeColor() const noexcept { return fSpecified.Contains(tcvForeColor); }

  // The entry's own colours (initially clDefault). Setting one also sets the
  // matching actual colour.
  TColor BackColor() const noexcept { return fBackColor; }
  void SetBackColor(TColor value);
  TColor ForeColor() const noexcept { return fForeColor; }
  void SetForeColor(TColor value);

  // The resolved colours after inheritance (see Update); initially clDefault.
  TColor ActualBack() const noexcept { return fActualBack; }
  TColor ActualFore() const noexcept { return fActualFore; }

  // Identity within its list; compared exactly.
  const std::string& Name() const noexcept { return fName; }
  void SetName(std::string_view value);
  // The display caption: the stored one, or Name when none is stored. A
  // caption equal to Name is stored as empty, so that it follows renames.
  std::string Caption() const { return fCaption.empty() ? fName : fCaption; }
  const std::string& StoredCaption() const noexcept { return fCaption; }
  void SetCaption(std::string_view value);

  // The entry of a parent list this one was copied from, or nullptr. Cleared
  // (without a change notice) when that entry is destroyed. An entry cannot be
  // its own origin (EConvertError).
  TTarvoCustomColors* Origin() const noexcept { return fOrigin; }
  void SetOrigin(TTarvoCustomColors* value);

  // Kept for the owner of the entry: initially clNone, raise no change,
  // copied by nothing here.
  TColor SavedBack() const noexcept { return fSavedBack; }
  void SetSavedBack(TColor value) noexcept { fSavedBack = value; }
  TColor SavedFore() const noexcept { return fSavedFore; }
  void SetSavedFore(TColor value) noexcept { fSavedFore = value; }

  // Raised after every change of the entry.
  const TNotifyEvent& OnChange() const noexcept { return fOnChange; }
  void SetOnChange(TNotifyEvent handler) { fOnChange = std::move(handler); }

  // The value as an editor shows it relative to the origin:
  //   - without an origin: the own colour when specified, else clDefault;
  //   - with an origin, specified locally: the own colour, except clDefault
  //     when the origin also specifies it with the same colour;
  //   - with an origin, not specified locally: clNone when the origin
  //     specifies it (the local copy removed it), else clDefault.
  TColor GetValue(TTarvoColorValue value) const noexcept;
  // Only for values in Available (others are left alone): clDefault or clNone
  // removes the value from Specified; any other colour becomes the own colour
  // and the value joins Specified.
  void SetValue(TTarvoColorValue value, TColor color);
  // ActualBack or ActualFore.
  TColor GetColor(TTarvoColorValue value) const noexcept;

  // Override point. Without an origin: Available and Specified intersect.
  // With one: GetValue of either colour is not clDefault.
  virtual bool Customized() const;

  // Override point. Resolves the actual colours, against styles and the given
  // origin (not necessarily Origin()):
  //   1. with an origin, its Caption becomes this entry's caption;
  //   2. ActualBack = own back colour when specified; else, without an origin,
  //      the styles' Color; else the origin's back colour when the origin
  //      specifies it; else the styles' Color;
  //   3. ActualFore = own text colour when specified; else the origin's text
  //      colour when there is an origin that specifies it; else the colour of
  //      the styles' font.
  // The actual colours change silently: the caller announces the result.
  virtual void Update(const TTarvoCustomStyles& styles, const TTarvoCustomColors* origin);

  // From another entry: name, caption, available, both colours, specified,
  // origin and the actual colours, with one change when anything differed.
  void Assign(const TPersistent& source) override;
  std::string DisplayName() const override { return Caption(); }

 protected:
  // The entry's change: collection notice for this item, then OnChange.
  void Change();
  void Notification(TPersistent* sender, TOperation operation) override;

 private:
  void LinkOrigin(TTarvoCustomColors* value);
  TColor OwnColor(TTarvoColorValue value) const noexcept {
    return value == tcvBackColor ? fBackColor : fForeColor;
  }

  TTarvoColorValues fAvailable;
  std::string fCaption;
  TColor fBackColor = clDefault;
  TColor fForeColor = clDefault;
  TColor fSavedBack = clNone;
  TColor fSavedFore = clNone;
  std::string fName;
  TTarvoCustomColors* fOrigin = nullptr;
  TTarvoColorValues fSpecified;
  TNotifyEvent fOnChange;
  TColor fActualBack = clDefault;
  TColor fActualFore = clDefault;
};

// The entry class of colour lists. Stores Name, Caption (when not empty and not
// equal to Name), Available and Specified (when not empty), and BackColor and
// ForeColor only when specified.
class TTarvoColors : public TTarvoCustomColors {
 public:
  const char* ClassName() const override { return "TTarvoColors"; }
  void WriteProperties(TStoredObject& out) const override;

 protected:
  bool ReadProperty(std::string_view name, const TStoredValue& value) override;
};

// What ApplyColors needs of a canvas; the grid and the chart adapt theirs.
class ITarvoColorCanvas {
 public:
  virtual void SetBrushColor(TColor color) = 0;
  virtual void SetFontColor(TColor color) = 0;

 protected:
  ~ITarvoColorCanvas() = default;
};

// The brush takes the entry's own back colour when it has one, the font its
// own text colour when it has one; nothing else changes.
void ApplyColors(ITarvoColorCanvas& canvas, const TTarvoCustomColors& colors);

// --- colour lists -------------------------------------------------------------

// A list of named colour entries (TTarvoColors unless CreateColors says
// otherwise) with an origin list. Every change notice reaches OnUpdate.
class TTarvoColorsCollection : public TTarvoCollection {
 public:
  explicit TTarvoColorsCollection(TPersistent* owner) : TTarvoCollection(owner) {}
  const char* ClassName() const override { return "TTarvoColorsCollection"; }

  TTarvoCustomColors* Add() { return static_cast<TTarvoCustomColors*>(TCollection::Add()); }
  TTarvoCustomColors* Items(int index) const {
    return static_cast<TTarvoCustomColors*>(Item(index));
  }
  // The first entry whose Name equals name exactly, or nullptr.
  TTarvoCustomColors* Find(std::string_view name) const;
  TTarvoCustomColors* operator[](std::string_view name) const { return Find(name); }

  // The list this one was borrowed from; cleared when it is destroyed.
  TTarvoColorsCollection* Origin() const noexcept { return fOrigin; }

  // Remembers origin and, inside one update, replaces the entries by copies of
  // the origin's entries in order, each with its Origin set to the entry it
  // was copied from. nullptr empties the list. A list cannot borrow from
  // itself (EConvertError).
  void Borrow(TTarvoColorsCollection* origin);

  // Any entry customised.
  bool Customized() const;

  // From another colour list, by name, never by position: inside one update,
  // each source entry is copied into the destination entry of the same name
  // (added at the end when missing), then the destination entries whose name
  // the source lacks are deleted from the end backwards. Names that occur
  // more than once are matched occurrence by occurrence. The origin list is
  // copied too.
  void Assign(const TPersistent& source) override;

 protected:
  // Override point: the entry class of the list.
  virtual std::unique_ptr<TTarvoCustomColors> CreateColors() const;
  std::unique_ptr<TCollectionItem> CreateItem() const final { return CreateColors(); }
  void Notification(TPersistent* sender, TOperation operation) override;

 private:
  void LinkOrigin(TTarvoColorsCollection* value);
  TTarvoColorsCollection* fOrigin = nullptr;
};

// --- styles --------------------------------------------------------------------

// A base colour, a base font and a named colour list, owned by a component
// (a scheme or a styler).
//
// Change batching: BeginChanges opens a level; while any level is open,
// Changed only counts. LeaveChanges closes one (doing nothing when none is
// open) and, when the last closes with changes counted, runs Changed once.
// Unbatched, Changed raises OnChange with a level held, so that changes the
// handler makes are counted and not announced again, and afterwards the
// level is released and the count cleared, also when the handler throws.
//
// Ownership of the base values: Owns tells which of colour and font were set
// locally rather than inherited from a parent (Update). Setting Color marks
// it owned (not owned for clDefault); changing the font from outside marks
// the font owned. Values copied in from a parent change neither Owns nor raise
// a change.
//
// Stored: Color only when owned, Font only when owned (reading them back
// restores Owns). Derived classes add their own properties (Items in
// TTarvoSimpleStyles).
class TTarvoCustomStyles : public TPersistent {
 public:
  // Colour clWindow (not owned), the default font (not owned), an empty list.
  explicit TTarvoCustomStyles(TComponent* owner);
  ~TTarvoCustomStyles() override;

  const char* ClassName() const override { return "TTarvoCustomStyles"; }
  TPersistent* GetOwner() const override;
  TComponent* Owner() const noexcept { return fOwner; }

  TColor Color() const noexcept { return fColor; }
  void SetColor(TColor value);
  TTarvoFont& Font() noexcept { return fFont; }
  const TTarvoFont& Font() const noexcept { return fFont; }
  void SetFont(const TTarvoFont& value) { fFont.Assign(value); }
  TTarvoColorsCollection& Items() noexcept { return fItems; }
  const TTarvoColorsCollection& Items() const noexcept { return fItems; }
  void SetItems(const TTarvoColorsCollection& value) { fItems.Assign(value); }
  TTarvoStyleValues Owns() const noexcept { return fOwns; }
  // Runs Changed when the value differs.
  void SetOwns(TTarvoStyleValues value);
  bool HasColor() const noexcept { return fOwns.Contains(tsvColor); }
  bool HasFont() const noexcept { return fOwns.Contains(tsvFont); }

  const TNotifyEvent& OnChange() const noexcept { return fOnChange; }
  void SetOnChange(TNotifyEvent handler) { fOnChange = std::move(handler); }

  void BeginChanges() noexcept { ++fChangeLocks; }
  void LeaveChanges();
  // Changed now, or counted while batched.
  void ForceChanged() { Changed(); }
  int ChangeLocks() const noexcept { return fChangeLocks; }
  int ChangeCount() const noexcept { return fChangeCount; }

  // Override point. Owns is not empty or an entry is customised.
  virtual bool Customized() const;
  // Override point. When the list has an origin list, borrows it again,
  // dropping every local change of the entries.
  virtual void Reset();
  // Override point. With a parent: copies its font unless the font is owned
  // and its colour unless the colour is owned (silently). Then updates every
  // entry against this styles object and the entry's own origin.
  virtual void Update(const TTarvoCustomStyles* parent);

  // From other styles, as one batched change: colour, font and Owns, then the
  // list by name (TTarvoColorsCollection::Assign). The batch closes also when
  // copying fails.
  void Assign(const TPersistent& source) override;

  void WriteProperties(TStoredObject& out) const override;

 protected:
  // Override point (call the base): counts while batched, else raises
  // OnChange as described above.
  virtual void Changed();
  bool ReadProperty(std::string_view name, const TStoredValue& value) override;

 private:
  class TLockGuard;
  void FontChanged();

  TColor fColor = clWindow;
  TTarvoFont fFont;
  TTarvoColorsCollection fItems;
  TTarvoStyleValues fOwns;
  TTarvoStyleValues fLock;
  TComponent* fOwner;
  TNotifyEvent fOnChange;
  int fChangeLocks = 0;
  int fChangeCount = 0;
};

// Styles that also store their colour list (Items, when not empty).
class TTarvoSimpleStyles : public TTarvoCustomStyles {
 public:
  explicit TTarvoSimpleStyles(TComponent* owner) : TTarvoCustomStyles(owner) {}
  const char* ClassName() const override { return "TTarvoSimpleStyles"; }
  void WriteProperties(TStoredObject& out) const override;

 protected:
  bool ReadProperty(std::string_view name, const TStoredValue& value) override;
};

// --- the styled control ------------------------------------------------------

// What a styler needs of the control it styles. Controls (the grid, the chart,
// a web view) implement it next to their own base class:
//   - Invalidate: repaint soon (the base styler calls it after every change);
//   - SetStyleColor / SetStyleFont: the control's base colour and font, for
//     stylers that know no more of their control than this interface.
// A control must call StyleTargetDestroying() while it is still whole (first
// thing in its destruction): each styler then releases the control through
// its setter (ReleaseTarget may still use it) and clears its Target. The
// destructor here does it as a last resort, when the control is already
// partly gone.
class TTarvoStyleTarget {
 public:
  TTarvoStyleTarget(const TTarvoStyleTarget&) = delete;
  TTarvoStyleTarget& operator=(const TTarvoStyleTarget&) = delete;

  virtual void Invalidate() = 0;
  virtual void SetStyleColor(TColor color) = 0;
  virtual void SetStyleFont(const TTarvoFont& font) = 0;

  // The stylers whose Target is this control.
  const std::vector<TTarvoCustomStyler*>& Stylers() const noexcept { return fStylers; }

 protected:
  TTarvoStyleTarget() = default;
  virtual ~TTarvoStyleTarget();
  // Tells every styler once; a handler's error does not stop the others and
  // the first is returned for the control's own Free to rethrow.
  std::exception_ptr StyleTargetDestroying() noexcept;

 private:
  friend class TTarvoCustomStyler;
  std::vector<TTarvoCustomStyler*> fStylers;
  bool fDestroying = false;
};

// --- schemes -------------------------------------------------------------------

// A named component that owns a styles object (Styles) and a second one for
// Backup/Recall, both made by CreateStyles. A change of Styles runs Changed:
// Modified becomes true, the styles are updated without a parent, every
// attached styler is told (in attach order) and OnChange is raised. A styler
// whose handler fails does not keep the others from being told; the first
// error passes on afterwards.
class TTarvoCustomScheme : public TComponent {
 public:
  const char* ClassName() const override { return "TTarvoCustomScheme"; }

  // The attached stylers, in attach order. AppendStyler adds one once;
  // RemoveStyler takes it out. Both are normally called by the styler's
  // SetScheme.
  void AppendStyler(TTarvoCustomStyler* styler);
  void RemoveStyler(TTarvoCustomStyler* styler);
  const std::vector<TTarvoCustomStyler*>& Stylers() const noexcept { return fNotify; }

  // Backup copies Styles into the memory copy; Recall copies it back (which
  // raises the change chain when anything differs).
  void Backup();
  void Recall();

  // The caption, or Name when none is set. Setting it raises no change.
  std::string Caption() const { return fCaption.empty() ? Name() : fCaption; }
  void SetCaption(std::string_view value) { fCaption = std::string(value); }
  // EComponentError when the scheme was not made by TComponent::Create.
  TTarvoCustomStyles& Styles() const;
  void SetStyles(const TTarvoCustomStyles& value) { Styles().Assign(value); }
  TTarvoCustomStyles& Memory() const;
  bool Modified() const noexcept { return fModified; }
  void SetModified(bool value) noexcept { fModified = value; }

  const TNotifyEvent& OnChange() const noexcept { return fOnChange; }
  void SetOnChange(TNotifyEvent handler) { fOnChange = std::move(handler); }

  // From another scheme: name, tag and styles.
  void Assign(const TPersistent& source) override;

 protected:
  explicit TTarvoCustomScheme(TComponent* owner) : TComponent(owner) {}
  ~TTarvoCustomScheme() override;
  void AfterConstruction() override;

  // Override point: the scheme's styles class (called twice at creation).
  virtual std::unique_ptr<TTarvoCustomStyles> CreateStyles() = 0;
  // Override point (call the base).
  virtual void Changed();
  void Notification(TPersistent* sender, TOperation operation) override;

  // For descendants that store their caption (when set and not equal to Name)
  // and styles.
  void WriteCaptionAndStyles(TStoredObject& out) const;
  bool ReadCaptionOrStyles(std::string_view name, const TStoredValue& value);

 private:
  friend class TComponent;
  std::vector<TTarvoCustomStyler*> fNotify;
  std::string fCaption;
  std::unique_ptr<TTarvoCustomStyles> fStyles;
  std::unique_ptr<TTarvoCustomStyles> fMemory;
  bool fModified = false;
  bool fUpdating = false;
  TNotifyEvent fOnChange;
};

// A scheme of TTarvoSimpleStyles whose colour is clWindow and which owns its
// colour and font. Stores Name, Caption and Styles.
class TTarvoSimpleScheme : public TTarvoCustomScheme {
 public:
  const char* ClassName() const override { return "TTarvoSimpleScheme"; }
  void WriteProperties(TStoredObject& out) const override;

 protected:
  friend class TComponent;
  explicit TTarvoSimpleScheme(TComponent* owner) : TTarvoCustomScheme(owner) {}
  std::unique_ptr<TTarvoCustomStyles> CreateStyles() override;
  bool ReadProperty(std::string_view name, const TStoredValue& value) override;
};

// --- stylers -------------------------------------------------------------------

// Binds one scheme to one control. Its own Styles (made by CreateStyles) take
// from the scheme's styles whatever was not customised locally; a change of
// either runs Changed, which updates the styles from the scheme, raises
// OnChange and repaints the target. When the scheme goes away the styler
// keeps the colours it last resolved.
class TTarvoCustomStyler : public TComponent {
 public:
  const char* ClassName() const override { return "TTarvoCustomStyler"; }

  TTarvoCustomScheme* Scheme() const noexcept { return fScheme; }
  // Detaches from the old scheme, attaches to the new one (a scheme being
  // destroyed counts as none), then Changed.
  virtual void SetScheme(TTarvoCustomScheme* value);
  // EComponentError when the styler was not made by TComponent::Create.
  TTarvoCustomStyles& Styles() const;
  void SetStyles(const TTarvoCustomStyles& value) { Styles().Assign(value); }
  TTarvoStyleTarget* Target() const noexcept { return fTarget; }
  // ReleaseTarget and stop watching the old control, watch the new one and
  // AcquireTarget, then Changed.
  virtual void SetTarget(TTarvoStyleTarget* value);

  const TNotifyEvent& OnChange() const noexcept { return fOnChange; }
  void SetOnChange(TNotifyEvent handler) { fOnChange = std::move(handler); }

  // From another styler: name, tag and styles.
  void Assign(const TPersistent& source) override;

 protected:
  friend class TComponent;
  friend class TTarvoCustomScheme;
  friend class TTarvoStyleTarget;
  explicit TTarvoCustomStyler(TComponent* owner) : TComponent(owner) {}
  ~TTarvoCustomStyler() override;
  void AfterConstruction() override;
  // Clears target and scheme without running Changed: nothing is announced
  // for a styler that is going away.
  void BeforeDestruction() override;

  // Override point: plain TTarvoCustomStyles owned by the styler.
  virtual std::unique_ptr<TTarvoCustomStyles> CreateStyles();
  // Override point (call the base first). Not re-entered: with a scheme, the
  // styles are updated from the scheme's styles inside a batch; then OnChange
  // is raised and the target repainted. Does nothing while destroying.
  virtual void Changed();
  // Override points: hook and unhook the control (Target() is the control in
  // both). Empty here.
  virtual void AcquireTarget() {}
  virtual void ReleaseTarget() {}
  void Notification(TPersistent* sender, TOperation operation) override;

 private:
  bool fLocked = false;
  TTarvoCustomScheme* fScheme = nullptr;
  std::unique_ptr<TTarvoCustomStyles> fStyles;
  TTarvoStyleTarget* fTarget = nullptr;
  TNotifyEvent fOnChange;
};

}  // namespace tarvo
