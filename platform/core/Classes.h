// The component core shared by the controls, the styles, the grid, the chart
// and the actions.
//
// It gives the toolkit's non-visual building blocks the habits the terminal's
// code is written in:
//   - TSet: sets of enumerations as bit sets indexed by ordinal;
//   - TPersistent: assignment between objects (Assign), destruction notices in
//     both directions (FreeNotification), and stored properties
//     (WriteProperties / ReadProperties, see "Stored properties" below);
//   - TComponent: an owner that frees what it owns, a name unique among the
//     owner's components, a tag, and two-phase creation and destruction;
//   - TCollection / TCollectionItem: an owning list of items with update
//     batching and change notices (the styles' TTarvoCollection forwards the
//     notices to a callback);
//   - TTarvoFont: a font description with a change event.
//
// Threads: none of these objects has a lock. They belong to the user-interface
// thread, like the controls they describe; a component checks it (see
// platform/core/ThreadChecker.h).
//
// Destruction notices. a->FreeNotification(b) links a and b both ways: when
// either goes away, the other's Notification(sender, opRemove) runs while the
// sender is still whole, and the link is gone before the handler runs. An
// object keeps one link per partner however often it asks, and
// RemoveFreeNotification removes it from both sides. This is how references
// between objects are kept from dangling: the holder of a reference links
// itself to the referred object and clears the reference in Notification.
//
// Two-phase life of components. A constructor cannot call an override and a
// destructor cannot let others call back into a half-destroyed object, so:
//   - components are made with TComponent::Create<T>(owner, ...), which runs
//     AfterConstruction() once the object is whole;
//   - components end with Free() (owners and TComponentPtr call it), which runs
//     BeforeDestruction(), tells every linked partner, frees the owned
//     components (last first), leaves the owner, and only then deletes the
//     object. Component destructors are protected; do not delete a component.
//
// Stored properties. A persistent object writes the properties worth storing
// into a TStoredObject (a small tree of named values, the form a settings
// file takes) and reads them back property by property through its setters,
// so that reading has the same effects as a user's change. A value equal to its
// declared default is not written. Reading checks every name and value: an
// unknown property, a value of the wrong kind or out of range throws
// EReadError naming the class and the property.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/core/Colors.h"
#include "platform/core/Sets.h"
#include "platform/core/ThreadChecker.h"

namespace tarvo {

// --- errors ------------------------------------------------------------------

// Base of the errors of the component core.
class EComponentsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// A component name that is not valid or not unique; a component used before
// its creation finished.
class EComponentError : public EComponentsError {
 public:
  using EComponentsError::EComponentsError;
};
// An assignment between objects that cannot take each other's values.
class EConvertError : public EComponentsError {
 public:
  using EComponentsError::EComponentsError;
};
// A list index out of range.
class EListError : public EComponentsError {
 public:
  using EComponentsError::EComponentsError;
};
// Stored properties that do not fit the object that reads them.
class EReadError : public EComponentsError {
 public:
  using EComponentsError::EComponentsError;
};

// --- sets of enumerations --------------------------------------------------------

// A set of values of an enumeration whose ordinals are 0..63, kept as a bit
// set indexed by ordinal in 64 bits. Values outside that range are never
// members.
template <class E>
using TSet = TEnumSet<E, std::uint64_t>;

// --- stored properties -------------------------------------------------------------

class TStoredObject;

// One stored value: an integer, a text, an identifier (an enumeration value),
// a set (the identifiers of its members), a nested object or a collection (a
// list of objects).
class TStoredValue {
 public:
  enum TKind { svInteger, svString, svIdent, svSet, svObject, svCollection };

  static TStoredValue Integer(std::int64_t value);
  static TStoredValue String(std::string value);
  static TStoredValue Ident(std::string value);
  static TStoredValue Set(std::vector<std::string> members);
  static TStoredValue Object(TStoredObject value);
  static TStoredValue Collection(std::vector<TStoredObject> items);

  TKind Kind() const noexcept { return fKind; }
  // The value of the kind asked for; EReadError ("Invalid property value")
  // when it is of another kind.
  std::int64_t AsInteger() const;
  const std::string& AsString() const;
  const std::string& AsIdent() const;
  const std::vector<std::string>& AsSet() const;
  const TStoredObject& AsObject() const;
  const std::vector<TStoredObject>& AsCollection() const;

  friend bool operator==(const TStoredValue& a, const TStoredValue& b);

 private:
  void Expect(TKind kind) const;
  TKind fKind = svInteger;
  std::int64_t fInteger = 0;
  std::string fText;
  std::vector<std::string> fSet;
  std::vector<TStoredObject> fObjects;  // one for svObject
};

// Named values in the order they were written.
class TStoredObject {
 public:
  struct Property {
    std::string name;
    TStoredValue value;
    friend bool operator==(const Property&, const Property&) = default;
  };

  // Adds a property (a name that is already present is replaced in place).
  void Set(std::string_view name, TStoredValue value);
  // The value of a property, names compared ignoring ASCII case; nullptr when
  // absent.
  const TStoredValue* Find(std::string_view name) const;
  bool Contains(std::string_view name) const { return Find(name) != nullptr; }
  const std::vector<Property>& Properties() const noexcept { return fProperties; }
  bool Empty() const noexcept { return fProperties.empty(); }

  friend bool operator==(const TStoredObject&, const TStoredObject&) = default;

 private:
  std::vector<Property> fProperties;
};

// Helpers for readers and writers of properties.
//
// Colours are stored as integers; reading accepts 0..0xFFFFFFFF and also the
// negative 32-bit form older settings use for system colours.
TStoredValue StoreColor(TColor color);
TColor LoadColor(const TStoredValue& value);
// An integer within [min, max].
std::int64_t LoadInteger(const TStoredValue& value, std::int64_t min, std::int64_t max);
// Sets and enumerations by the identifiers of their values (names[ordinal]);
// identifiers are compared ignoring ASCII case; an unknown one is an error.
TStoredValue StoreSetBits(std::uint64_t bits, std::span<const char* const> names);
std::uint64_t LoadSetBits(const TStoredValue& value, std::span<const char* const> names);
template <class E>
TStoredValue StoreSet(TSet<E> set, std::span<const char* const> names) {
  return StoreSetBits(set.Bits(), names);
}
template <class E>
TSet<E> LoadSet(const TStoredValue& value, std::span<const char* const> names) {
  return TSet<E>::FromBits(LoadSetBits(value, names));
}
std::size_t LoadIdent(const TStoredValue& value, std::span<const char* const> names);

// --- persistent objects --------------------------------------------------------------

enum TOperation { opInsert, opRemove };

class TPersistent;
// A change event; the sender is the object that changed.
using TNotifyEvent = std::function<void(TPersistent& sender)>;

class TPersistent {
 public:
  TPersistent() = default;
  TPersistent(const TPersistent&) = delete;
  TPersistent& operator=(const TPersistent&) = delete;
  // Tells the remaining partners (see FreeNotification) if nobody did before;
  // their handlers then see a sender that is already partly destroyed and
  // may only compare its address. Owners of persistent objects avoid this by
  // calling NotifyDestroying() first (collections and components do).
  virtual ~TPersistent();

  // The class name the toolkit's messages and logs use.
  virtual const char* ClassName() const { return "TPersistent"; }
  // The object this one belongs to, for naming and stored properties.
  virtual TPersistent* GetOwner() const { return nullptr; }

  // Copies the values of source into this object. The default asks the source
  // (AssignTo) and fails with EConvertError "Cannot assign a <source class> to
  // a <class>" when neither knows the other.
  virtual void Assign(const TPersistent& source);

  // Links this object and other both ways (see the file comment). Does nothing
  // for nullptr, for itself, or while either is being destroyed.
  void FreeNotification(TPersistent* other);
  void RemoveFreeNotification(TPersistent* other);
  bool IsLinked(const TPersistent* other) const noexcept;
  // True from the start of destruction (Free, Delete, NotifyDestroying).
  bool IsDestroying() const noexcept { return fDestroying; }

  // Writes the properties worth storing (those that differ from their
  // defaults). The default writes none.
  virtual void WriteProperties(TStoredObject& out) const;
  // Reads every property of in through ReadProperty; EReadError for a
  // property this class does not know. Properties read before a failure keep
  // their new values.
  void ReadProperties(const TStoredObject& in);

 protected:
  virtual void AssignTo(TPersistent& dest) const;
  // Takes one stored property; false when this class has no such property.
  // Implementations throw EReadError for a value that does not fit.
  virtual bool ReadProperty(std::string_view name, const TStoredValue& value);
  // Called on a linked partner: opRemove when sender goes away (the link is
  // already gone), opInsert when a component gains an owned component.
  virtual void Notification(TPersistent* sender, TOperation operation);
  // Starts destruction: marks the object, then tells every linked partner
  // once, while the object is still whole. Handlers that throw do not stop
  // the others; the first error is returned for the caller to rethrow once
  // the destruction is complete.
  std::exception_ptr NotifyDestroying() noexcept;
  void MarkDestroying() noexcept { fDestroying = true; }

 private:
  void Unlink(TPersistent* other) noexcept;
  std::vector<TPersistent*> fFreeNotifies;
  bool fDestroying = false;
  bool fNotified = false;
};

// "Cannot assign a <source> to a <dest>".
[[noreturn]] void AssignError(const TPersistent* source, const TPersistent& dest);

// --- components -------------------------------------------------------------------

class TComponent;

// Frees a component that has no owner when the pointer ends. Errors raised by
// destruction handlers are dropped here (a deleter must not throw); call Free()
// yourself to see them.
struct TComponentFree {
  void operator()(TComponent* component) const noexcept;
};
template <class T>
using TComponentPtr = std::unique_ptr<T, TComponentFree>;

class TComponent : public TPersistent {
 public:
  // Makes a component of class T, owned by owner (which frees it) or, with
  // nullptr, by the caller (who must Free it). T's constructor takes the owner
  // first; derived classes keep their constructors protected and befriend
  // TComponent. AfterConstruction runs once the object is whole; if it throws,
  // the component is freed again and the error passes on.
  template <class T, class... Args>
  static T* Create(TComponent* owner, Args&&... args) {
    T* component = new T(owner, std::forward<Args>(args)...);
    try {
      TComponent* base = component;  // the hooks are protected members of TComponent
      base->AfterConstruction();
      base->fCreated = true;
      if (owner) owner->Notification(component, opInsert);
    } catch (...) {
      TComponentFree{}(component);
      throw;
    }
    return component;
  }
  // The same without an owner, held by a pointer that frees it.
  template <class T, class... Args>
  static TComponentPtr<T> CreateUnowned(Args&&... args) {
    return TComponentPtr<T>(Create<T>(nullptr, std::forward<Args>(args)...));
  }

  // Ends the component: BeforeDestruction, destruction notices to every linked
  // partner, the owned components freed (last first), removal from the owner,
  // then the memory. A second call while it runs does nothing. Errors thrown
  // by handlers do not stop the destruction; the first is rethrown at the end.
  void Free();

  const char* ClassName() const override { return "TComponent"; }
  TPersistent* GetOwner() const override;

  TComponent* Owner() const noexcept { return fOwner; }
  const std::string& Name() const noexcept { return fName; }
  // A name is empty or an identifier (a letter or "_", then letters, digits
  // and "_") not used by another component of the same owner, compared
  // ignoring ASCII case. Throws EComponentError otherwise.
  virtual void SetName(std::string_view name);
  std::intptr_t Tag() const noexcept { return fTag; }
  void SetTag(std::intptr_t tag) noexcept { fTag = tag; }

  // The components this one owns, in the order they were added.
  int ComponentCount() const noexcept { return static_cast<int>(fComponents.size()); }
  TComponent* Components(int index) const;  // EListError when out of range
  // The owned component with the name, ignoring ASCII case; nullptr if none.
  TComponent* FindComponent(std::string_view name) const;
  // Takes component over from its current owner (its name must be unique
  // here); RemoveComponent leaves it without an owner, to be freed by the
  // caller.
  void InsertComponent(TComponent* component);
  void RemoveComponent(TComponent* component);

  // True once Create finished (AfterConstruction ran).
  bool IsCreated() const noexcept { return fCreated; }

  // Writes Name (when not empty) and Tag (when not 0).
  void WriteProperties(TStoredObject& out) const override;

 protected:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;

  // Second phase of creation: overrides may call virtual functions here.
  virtual void AfterConstruction() {}
  // First phase of destruction: the object is still whole. Overrides release
  // what they refer to and call the base.
  virtual void BeforeDestruction() {}
  bool ReadProperty(std::string_view name, const TStoredValue& value) override;

 private:
  friend struct TComponentFree;
  void ValidateName(std::string_view name, const TComponent* owner) const;
  std::exception_ptr FreeOwned() noexcept;

  TComponent* fOwner = nullptr;
  std::vector<TComponent*> fComponents;
  std::string fName;
  std::intptr_t fTag = 0;
  bool fCreated = false;
  // Components belong to the thread that made them (the UI thread): Free,
  // SetName, InsertComponent and RemoveComponent check it.
  platform::ThreadChecker fUIThread;
};

// --- collections ------------------------------------------------------------------

class TCollection;

enum TCollectionNotification { cnAdded, cnExtracting, cnDeleting };

// An item of a collection, or a stand-alone item (Collection() == nullptr).
// Items in a collection are owned by it: remove one with TCollection::Delete
// (deleting the item itself also takes it out of its collection).
class TCollectionItem : public TPersistent {
 public:
  TCollectionItem() = default;
  ~TCollectionItem() override;

  const char* ClassName() const override { return "TCollectionItem"; }
  TPersistent* GetOwner() const override;

  TCollection* Collection() const noexcept { return fCollection; }
  // Position in the collection, -1 for a stand-alone item.
  int Index() const noexcept;
  // Moves the item to another position (clamped to the list); a change of all
  // items.
  void SetIndex(int index);
  // Unique within the collection, never reused: 0, 1, 2 ... in order of
  // insertion. -1 for a stand-alone item.
  int ID() const noexcept { return fID; }
  // The name shown in editors; the class name unless overridden.
  virtual std::string DisplayName() const { return ClassName(); }

 protected:
  // The item's change notice: the collection's Update for this item (for all
  // items when allItems), unless the collection is inside an update, which
  // then remembers that something changed.
  void Changed(bool allItems);

 private:
  friend class TCollection;
  TCollection* fCollection = nullptr;
  int fID = -1;
};

class TCollection : public TPersistent {
 public:
  // Frees the items without change notices.
  ~TCollection() override;

  const char* ClassName() const override { return "TCollection"; }

  int Count() const noexcept { return static_cast<int>(fItems.size()); }
  TCollectionItem* Item(int index) const;  // EListError when out of range
  // A new item of the collection's item class at the end or at index.
  TCollectionItem* Add();
  TCollectionItem* Insert(int index);
  // Deletes the item at index: Notify(cnDeleting), its destruction notices,
  // then the change notice.
  void Delete(int index);
  void Clear();
  TCollectionItem* FindItemID(int id) const;

  // Update batching: while the count is above zero, change notices only mark
  // the collection as changed; the EndUpdate that brings it back to zero sends
  // one Update(nullptr) when anything changed. EndUpdate without BeginUpdate
  // does nothing.
  void BeginUpdate() noexcept { ++fUpdateCount; }
  void EndUpdate();
  int UpdateCount() const noexcept { return fUpdateCount; }

  // From another collection: inside one update, the items are replaced by
  // copies (each new item assigned from the source's item).
  void Assign(const TPersistent& source) override;

  // The items as stored objects, and back: reading replaces all items, and
  // replaces nothing when any stored item does not fit.
  TStoredValue StoreItems() const;
  void LoadItems(const TStoredValue& value);

 protected:
  TCollection() = default;
  // The collection's item class: makes a stand-alone item.
  virtual std::unique_ptr<TCollectionItem> CreateItem() const = 0;
  // The change notice: item changed, or (nullptr) the collection as a whole.
  virtual void Update(TCollectionItem* item);
  virtual void Notify(TCollectionItem* item, TCollectionNotification action);
  // Sends Update(nullptr) now, or marks the change while updating.
  void Changed();

 private:
  friend class TCollectionItem;
  TCollectionItem* InsertItem(std::unique_ptr<TCollectionItem> item, int index);
  void DetachItem(TCollectionItem* item) noexcept;
  void ItemChanged(TCollectionItem* item);
  void MoveItem(TCollectionItem* item, int index);

  std::vector<TCollectionItem*> fItems;  // owned
  int fUpdateCount = 0;
  int fNextID = 0;
  bool fChangedWhileUpdating = false;
};

// A collection with an owner (reported by GetOwner).
class TOwnedCollection : public TCollection {
 public:
  const char* ClassName() const override { return "TOwnedCollection"; }
  TPersistent* GetOwner() const override { return fOwner; }

 protected:
  explicit TOwnedCollection(TPersistent* owner) : fOwner(owner) {}

 private:
  TPersistent* fOwner;
};

// Sender collection, changed item (nullptr: the collection as a whole).
using TCollectionEvent = std::function<void(TCollection& sender, TCollectionItem* item)>;

// --- fonts --------------------------------------------------------------------

enum TFontStyle : std::uint8_t { fsBold, fsItalic, fsUnderline, fsStrikeOut };
using TFontStyles = TSet<TFontStyle>;
enum TFontPitch : std::uint8_t { fpDefault, fpVariable, fpFixed };

inline constexpr std::uint8_t DEFAULT_CHARSET = 1;

// A font description: face name, height, colour, style, pitch and character
// set. Every setter does nothing when the value is unchanged and otherwise
// raises OnChange once; Assign raises it once when anything differs.
//
// Height is the character height in pixels, negative as the terminal stores
// it (-11); Size is the same in points at 96 pixels per inch (8). Setting one
// sets the other.
class TTarvoFont : public TPersistent {
 public:
  static constexpr int kPixelsPerInch = 96;
  static constexpr int kMaxHeight = 32767;

  // "Sans", 8 points, the system's window-text colour, no style, default pitch
  // and character set.
  TTarvoFont();

  const char* ClassName() const override { return "TTarvoFont"; }

  const std::string& Name() const noexcept { return fName; }
  // EConvertError for an empty name.
  void SetName(std::string_view name);
  int Height() const noexcept { return fHeight; }
  // EConvertError when |height| exceeds kMaxHeight.
  void SetHeight(int height);
  int Size() const noexcept;
  void SetSize(int size);
  TColor Color() const noexcept { return fColor; }
  void SetColor(TColor color);
  TFontStyles Style() const noexcept { return fStyle; }
  void SetStyle(TFontStyles style);
  TFontPitch Pitch() const noexcept { return fPitch; }
  void SetPitch(TFontPitch pitch);
  std::uint8_t Charset() const noexcept { return fCharset; }
  void SetCharset(std::uint8_t charset);

  const TNotifyEvent& OnChange() const noexcept { return fOnChange; }
  void SetOnChange(TNotifyEvent handler) { fOnChange = std::move(handler); }

  bool SameAs(const TTarvoFont& other) const noexcept;
  void Assign(const TPersistent& source) override;

  // A stored font is always complete (every field), because the default font
  // is the system's and may differ where the settings are read again.
  void WriteProperties(TStoredObject& out) const override;

 protected:
  virtual void Changed();
  bool ReadProperty(std::string_view name, const TStoredValue& value) override;

 private:
  std::string fName;
  int fHeight;
  TColor fColor;
  TFontStyles fStyle;
  TFontPitch fPitch = fpDefault;
  std::uint8_t fCharset = DEFAULT_CHARSET;
  TNotifyEvent fOnChange;
};

extern const char* const kFontStyleNames[4];
extern const char* const kFontPitchNames[3];

}  // namespace tarvo
