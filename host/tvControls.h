// libtvControls.so: the terminal's control library, as far as the toolkit's
// grid, chart, actions and dialogs use it.
//
//   TCustomBorderedControl  a window control with a border, a colour, a font,
//                           a popup menu, hints, child alignment, drag and
//                           drop, and the standard mouse, key, focus and
//                           paint handling;
//   TTarvoScrollBar         a scroll bar whose model (range, page, step,
//                           position) works with or without a window;
//   TLocation               an X/Y pair with a change notice;
//   TExtendedCollection     an owned collection that tells its owner about
//                           every change;
//   TPopupMenu              a context menu of captions and actions.
//
// The edit-control model used by the lookup combo is in host/tvControlsEdit.h.
//
// Controls are components (platform/core/Classes.h): made with
// TComponent::Create<T>(owner, ...) and ended with Free(). A control's window
// lives on a platform desktop (platform/ui/WindowSystem.h): the one current when
// the control was made. The window exists once HandleNeeded ran (directly, or
// because the control got a parent whose window exists, or the parent's
// window was made); everything else (bounds, colours, the scroll-bar model)
// works without it and is applied when the window comes.
//
// Threads: controls belong to the user-interface thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/Classes.h"
#include "platform/gfx/Canvas.h"
#include "platform/ui/WindowDrag.h"
#include "platform/ui/WindowServices.h"
#include "platform/ui/WindowSystem.h"

namespace tarvo {

using platform::TCanvas;
using platform::TMouseButton;
using platform::TPoint;
using platform::TRect;
using platform::TShiftState;
using platform::TVirtualKey;
using platform::WindowHandle;

class TPopupMenu;

enum TBorderStyle : std::uint8_t { bsNone, bsSingle };
enum TAlign : std::uint8_t { alNone, alTop, alBottom, alLeft, alRight, alClient };
enum TControlStateFlag : std::uint8_t { csDesigning, csLoading };
using TControlState = TSet<TControlStateFlag>;

// Cursor ids: the screen cursors of platform/ui/WindowServices.h.
using TCursor = int;
using platform::crDefault;
using platform::crDrag;
using platform::crHandPoint;
using platform::crHSplit;
using platform::crMultiDrag;
using platform::crNoDrop;

class TCustomBorderedControl;

using TMouseEvent =
    std::function<void(TCustomBorderedControl& sender, TMouseButton, TShiftState, int x, int y)>;
using TMouseMoveEvent =
    std::function<void(TCustomBorderedControl& sender, TShiftState, int x, int y)>;
using TKeyEvent =
    std::function<void(TCustomBorderedControl& sender, TVirtualKey& key, TShiftState)>;
using TKeyPressEvent = std::function<void(TCustomBorderedControl& sender, char32_t& ch)>;
using TControlNotify = std::function<void(TCustomBorderedControl& sender)>;

// Drag and drop between controls (see BeginDrag). source is the control
// that began the drag (never null); target the control that took the drop
// (null when none did). Points are in the sender's client coordinates.
using platform::dsDragEnter;
using platform::dsDragLeave;
using platform::dsDragMove;
using platform::TDragState;
using TStartDragEvent = std::function<void(TCustomBorderedControl& sender)>;
using TDragOverEvent =
    std::function<void(TCustomBorderedControl& sender, TCustomBorderedControl* source, int x, int y,
                       TDragState state, bool& accept)>;
using TDragDropEvent = std::function<void(TCustomBorderedControl& sender,
                                          TCustomBorderedControl* source, int x, int y)>;
using TEndDragEvent = std::function<void(TCustomBorderedControl& sender,
                                         TCustomBorderedControl* target, int x, int y)>;

class TCustomBorderedControl : public TComponent, protected platform::TWindowProc {
 public:
  const char* ClassName() const override { return "TCustomBorderedControl"; }

  // --- tree and window ------------------------------------------------------
  TCustomBorderedControl* Parent() const noexcept { return fParent; }
  // Places the control inside parent (nullptr: no parent; the control is then
  // a top-level window when its window is made). The window follows at once
  // when the new parent's window exists.
  void SetParent(TCustomBorderedControl* parent);
  int ControlCount() const noexcept { return static_cast<int>(fControls.size()); }
  TCustomBorderedControl* Controls(int index) const;  // EListError out of range

  platform::TDesktop& Desktop() const noexcept { return *fDesktop; }
  bool HandleAllocated() const noexcept { return fHandle != 0; }
  // The window, made when needed (its parent's first). Throws
  // EComponentError while the control is being destroyed.
  WindowHandle Handle();
  void HandleNeeded() { (void)Handle(); }
  void DestroyHandle();

  // --- bounds -----------------------------------------------------------------
  int Left() const noexcept { return fLeft; }
  int Top() const noexcept { return fTop; }
  int Width() const noexcept { return fWidth; }
  int Height() const noexcept { return fHeight; }
  TRect BoundsRect() const noexcept { return {fLeft, fTop, fLeft + fWidth, fTop + fHeight}; }
  // Negative sizes become 0. A change realigns the parent (for aligned
  // controls) and this control's children, and raises Resize.
  virtual void SetBounds(int left, int top, int width, int height);
  void SetWidth(int width) { SetBounds(fLeft, fTop, width, fHeight); }
  void SetHeight(int height) { SetBounds(fLeft, fTop, fWidth, height); }
  // (0, 0, width, height) minus the border.
  TRect ClientRect() const noexcept;
  int ClientWidth() const noexcept { return ClientRect().Width(); }
  int ClientHeight() const noexcept { return ClientRect().Height(); }
  TPoint ClientToScreen(TPoint p) const;
  TPoint ScreenToClient(TPoint p) const;

  bool Visible() const noexcept { return fVisible; }
  void SetVisible(bool visible);
  // Visible itself and every parent, and its window exists.
  bool Showing() const;
  bool Enabled() const noexcept { return fEnabled; }
  void SetEnabled(bool enabled);

  // --- look ------------------------------------------------------------------
  TBorderStyle BorderStyle() const noexcept { return fBorderStyle; }
  void SetBorderStyle(TBorderStyle style);
  // With a single border: a sunken two-pixel client edge (true) or a flat
  // one-pixel frame (false).
  bool Ctl3D() const noexcept { return fCtl3D; }
  void SetCtl3D(bool value);
  TColor Color() const noexcept { return fColor; }
  void SetColor(TColor color);
  // The control's font; changing any of it calls FontChanged.
  TTarvoFont& Font() noexcept { return fFont; }
  const TTarvoFont& Font() const noexcept { return fFont; }
  TPopupMenu* PopupMenu() const noexcept { return fPopupMenu; }
  // Linked both ways: a freed menu is forgotten.
  void SetPopupMenu(TPopupMenu* menu);
  bool ShowHint() const noexcept { return fShowHint; }
  void SetShowHint(bool value) { fShowHint = value; }
  const std::string& Hint() const noexcept { return fHint; }
  void SetHint(std::string_view hint) { fHint = hint; }
  TCursor Cursor() const noexcept { return fCursor; }
  // The cursor shown over the control (see GetCursorAt).
  void SetCursor(TCursor cursor);
  // The control's hint window (nullptr until a hint was shown).
  const platform::THintWindow* HintWindow() const noexcept { return fHintWindow.get(); }
  // Milliseconds the mouse rests before a hint shows, and how long it stays.
  static constexpr std::uint32_t kHintPause = 500;
  static constexpr std::uint32_t kHintHidePause = 2500;
  bool TabStop() const noexcept { return fTabStop; }
  void SetTabStop(bool value) { fTabStop = value; }

  // Design and loading states: never set by the library itself (the terminal
  // has no designer here); tests set them to reach the code that checks them.
  TControlState ControlState() const noexcept { return fState; }
  void SetDesigning(bool value);
  void SetLoading(bool value);
  bool IsDesigning() const noexcept { return fState.Contains(csDesigning); }
  bool IsLoading() const noexcept { return fState.Contains(csLoading); }

  // --- alignment -------------------------------------------------------------
  TAlign Align() const noexcept { return fAlign; }
  void SetAlign(TAlign align);
  // Lays the children out again (see AlignControls).
  void Realign();

  // --- painting ---------------------------------------------------------------
  void Invalidate();
  void InvalidateRect(const TRect& rect);  // client coordinates
  // Paints what is invalid now.
  void Update();
  // Moves client pixels (see TDesktop::ScrollWindow). Nothing without a window.
  void ScrollWindow(int dx, int dy, const TRect* scroll, const TRect* clip);
  // The canvas: the paint canvas during Paint, otherwise a canvas for
  // measuring text in the control's font (drawing on it shows nothing).
  TCanvas& Canvas();
  // Draws on the window outside a paint (nothing without a window).
  bool DrawOnWindow(const std::function<void(TCanvas&)>& draw);
  // A picture of the control as its window shows it now (its children
  // included); nullptr without a window.
  std::unique_ptr<platform::TPixelImage> Snapshot() const;

  // --- focus, capture, timers ---------------------------------------------------
  bool CanFocus() const;
  bool Focused() const;
  // Throws EComponentError when the control cannot take the focus (hidden,
  // disabled or without a window), as the terminal's controls do.
  void SetFocus();
  bool MouseCapture() const;
  void SetMouseCapture(bool value);
  bool SetTimer(std::uintptr_t id, std::uint32_t intervalMs);
  void KillTimer(std::uintptr_t id);
  bool PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

  // --- drag and drop -----------------------------------------------------------
  // Starts dragging this control (through platform/ui/WindowDrag.h, one drag at
  // a time): at once, or once the mouse has moved more than threshold pixels
  // (< 0: the desktop's drag threshold) from where it is now. Ignored while
  // any drag is pending or running, and while the control is being
  // destroyed. Makes the control's window when it has none.
  //
  // From the call on, the drag owns the mouse until it ends, pending or
  // started: the press that began it is over for the control, which gets
  // no MouseUp, Click or MouseMove for it. A drag that ends before the
  // threshold is passed (a release below it, or any of the cancels below)
  // never starts: no DoStartDrag and no target hears of it, but the source
  // still gets DoEndDrag (OnEndDrag) with a null target at the release
  // point (or the last mouse position), in its own client coordinates; a
  // control that drags on press handles the click there. A control that
  // never calls BeginDrag gets its clicks as usual.
  //
  // When the drag starts: DoStartDrag (OnStartDrag). Every mouse move asks
  // the enabled control under the pointer DragOver (dsDragEnter when the
  // pointer comes in, dsDragMove while it stays, dsDragLeave when it goes or
  // the drag ends), and the screen cursor shows the answer: this control's
  // DragCursor over an accepting target, crNoDrop elsewhere. The source may
  // be its own target.
  //
  // The drag ends on release of the left button (the target that accepts at
  // the release point gets DragDrop), on Esc, a right-button press, a
  // cancel-mode (CancelMode of the source, unless raised by a press during
  // the drag, which the drag handles itself), loss of the mouse to another
  // window, or EndDrag; the source then gets DoEndDrag (OnEndDrag) with the
  // target that took the drop, or null, and the last mouse position in that
  // target's client coordinates (the source's own when null). A source
  // freed during its drag, pending or started, ends it without DoEndDrag
  // (a target still hears dsDragLeave); a target freed during the drag is
  // forgotten.
  void BeginDrag(bool immediate, int threshold = -1);
  // This control's drag has started and not yet ended.
  bool Dragging() const;
  // Ends this control's drag, pending or running: drop = true drops where
  // the mouse is, as a release there would; false cancels. Either way a
  // pending drag ends unstarted (DoEndDrag with a null target). Nothing when
  // this control has no drag.
  void EndDrag(bool drop);
  // The cursor over an accepting target while this control is dragged.
  TCursor DragCursor() const noexcept { return fDragCursor; }
  void SetDragCursor(TCursor cursor);
  // A drop from source at (x, y); the base raises OnDragDrop.
  virtual void DragDrop(TCustomBorderedControl* source, int x, int y);

  // --- events ------------------------------------------------------------------
  TStartDragEvent OnStartDrag;
  // A control without OnDragOver refuses every drop; with one, accept starts
  // true and the handler may refuse.
  TDragOverEvent OnDragOver;
  TDragDropEvent OnDragDrop;
  TEndDragEvent OnEndDrag;
  TMouseEvent OnMouseDown, OnMouseUp;
  TMouseMoveEvent OnMouseMove;
  TKeyEvent OnKeyDown, OnKeyUp;
  TKeyPressEvent OnKeyPress;
  TControlNotify OnClick, OnDblClick, OnEnter, OnExit, OnResize, OnMouseEnter, OnMouseLeave;

 protected:
  friend class TComponent;
  explicit TCustomBorderedControl(TComponent* owner);
  ~TCustomBorderedControl() override;
  void BeforeDestruction() override;
  void Notification(TPersistent* sender, TOperation operation) override;

  // The window's parameters; overrides adjust them (call the base first).
  virtual void CreateParams(platform::TCreateParams& params);
  // The window was made (children's windows follow right after).
  virtual void CreateWnd() {}
  // Client-area paint; Canvas() is the paint canvas. The base fills the
  // clip with Color.
  virtual void Paint();
  virtual void PaintBorder(TCanvas& canvas);
  virtual void FontChanged();
  virtual void Resize();
  virtual void EnabledChanged();
  virtual void VisibleChanged();

  // Alignment: the rectangle children are laid out in (the client rectangle;
  // overrides take parts away, e.g. for scroll bars) ...
  virtual void AdjustClientRect(TRect& rect);
  // ... the layout of every aligned child: top, bottom, left, right, then
  // client ones, each through AlignStep ...
  virtual void AlignControls(TRect& rect);
  // ... and one step: place child in rect and take its room out of rect.
  virtual void AlignStep(TCustomBorderedControl& child, TRect& rect);

  // Mouse and keys (client coordinates). The base raises the events; a
  // left press captures the mouse until the release, as controls do.
  virtual void MouseDown(TMouseButton button, TShiftState shift, int x, int y);
  virtual void MouseUp(TMouseButton button, TShiftState shift, int x, int y);
  virtual void MouseMove(TShiftState shift, int x, int y);
  // True when handled; the base handles nothing.
  virtual bool DoMouseWheel(TShiftState shift, int delta, TPoint screen);
  virtual void MouseEnter();
  virtual void MouseLeave();
  virtual void Click();
  virtual void DblClick();
  virtual void KeyDown(TVirtualKey& key, TShiftState shift);
  virtual void KeyUp(TVirtualKey& key, TShiftState shift);
  virtual void KeyPress(char32_t& ch);
  // DLGC_ bits: which keys the control handles itself.
  virtual std::uint32_t DialogCode(TVirtualKey key);
  // Ends any mode; sender is the control's window that was pressed (0 when
  // asked directly).
  virtual void CancelMode(WindowHandle sender);
  virtual void DoEnter();
  virtual void DoExit();
  // Drag and drop (see BeginDrag). The bases raise OnStartDrag, OnDragOver
  // (accept: see there) and OnEndDrag.
  virtual void DoStartDrag();
  virtual void DragOver(TCustomBorderedControl* source, int x, int y, TDragState state,
                        bool& accept);
  virtual void DoEndDrag(TCustomBorderedControl* target, int x, int y);
  // Timer ids at and above kReservedTimers are the base class's own.
  static constexpr std::uintptr_t kReservedTimers = 0x7FFF0000;
  virtual void Timer(std::uintptr_t id);
  // The hint for the mouse at client point p: the base gives Hint over the
  // whole client area (shown below the mouse) when ShowHint is on. False: no
  // hint here. Overrides may narrow the cursor rectangle (screen
  // coordinates) so that the hint changes as the mouse moves on.
  virtual bool GetHintInfo(platform::THintInfo& info, TPoint p);
  // The cursor over client point p; the base answers Cursor().
  virtual TCursor GetCursorAt(int x, int y);
  virtual std::intptr_t WindowProc(std::uint32_t message, std::uintptr_t wParam,
                                   std::intptr_t lParam);

  bool InPaint() const noexcept { return fPaintCanvas != nullptr; }
  // The region being painted (client coordinates); empty outside Paint.
  const platform::TRegion& PaintClip() const noexcept { return fPaintClip; }

  // platform::TWindowProc
  void WindowPaint(WindowHandle, TCanvas&, const platform::TRegion&) override;
  void WindowPaintFrame(WindowHandle, TCanvas&) override;
  bool WindowEraseBackground(WindowHandle, TCanvas&, const platform::TRegion&) override;
  void WindowMouseDown(WindowHandle, TMouseButton, TShiftState, TPoint) override;
  void WindowMouseUp(WindowHandle, TMouseButton, TShiftState, TPoint) override;
  void WindowMouseMove(WindowHandle, TShiftState, TPoint) override;
  bool WindowMouseWheel(WindowHandle, int, TShiftState, TPoint) override;
  void WindowMouseEnter(WindowHandle) override;
  void WindowMouseLeave(WindowHandle) override;
  void WindowKeyDown(WindowHandle, TVirtualKey, TShiftState) override;
  void WindowKeyUp(WindowHandle, TVirtualKey, TShiftState) override;
  void WindowChar(WindowHandle, char32_t) override;
  std::uint32_t WindowDialogCode(WindowHandle, TVirtualKey) override;
  void WindowCancelMode(WindowHandle, WindowHandle) override;
  void WindowFocusChanged(WindowHandle, bool, WindowHandle) override;
  void WindowTimer(WindowHandle, std::uintptr_t) override;
  std::intptr_t WindowMessage(WindowHandle, std::uint32_t, std::uintptr_t, std::intptr_t) override;
  void WindowDestroyed(WindowHandle) override;

 private:
  TRect FrameInsets() const noexcept;
  void ApplyFrame();
  void CreateHandleNow();
  void ChildrenNeedHandles();
  class DragClient;  // the control side of the drag session

  platform::TDesktop* fDesktop;
  WindowHandle fHandle = 0;
  TCustomBorderedControl* fParent = nullptr;
  std::vector<TCustomBorderedControl*> fControls;  // not owned: owners free controls
  int fLeft = 0, fTop = 0, fWidth = 0, fHeight = 0;
  bool fVisible = true;
  bool fEnabled = true;
  TBorderStyle fBorderStyle = bsNone;
  bool fCtl3D = true;
  TColor fColor = clBtnFace;
  TTarvoFont fFont;
  TPopupMenu* fPopupMenu = nullptr;
  bool fShowHint = false;
  std::string fHint;
  TCursor fCursor = crDefault;
  TCursor fDragCursor = crDrag;
  bool fTabStop = false;
  TControlState fState;
  TAlign fAlign = alNone;
  int fAligning = 0;
  TCanvas* fPaintCanvas = nullptr;
  platform::TRegion fPaintClip;
  std::unique_ptr<platform::TPixelImage> fMeasureImage;
  std::unique_ptr<TCanvas> fMeasureCanvas;
  int fClickDown = -1;  // the button pressed inside, for Click
  std::unique_ptr<platform::THintWindow> fHintWindow;
  void HideHint();
};

// --- scroll bar ----------------------------------------------------------------

enum TScrollBarKind : std::uint8_t { sbHorizontal, sbVertical };

// A scroll bar over [Min, Max] showing PageSize values at a time: positions
// run from Min to GetLimit() = Max - max(PageSize, 1) + 1 (never below Min).
// Every change of position, by SetPosition, SetParams or the mouse, raises
// OnChange once, after all values are stored; a call that leaves the position
// as it was raises nothing. The model works the same without a window.
//
// With a window: arrow buttons at both ends move by SmallChange, the track by
// LargeChange (the page), both repeating while held; the thumb can be
// dragged. A disabled bar, or one whose limit equals its minimum, ignores the
// mouse and shows no thumb.
class TTarvoScrollBar : public TCustomBorderedControl {
 public:
  const char* ClassName() const override { return "TTarvoScrollBar"; }

  TScrollBarKind Kind() const noexcept { return fKind; }
  // Also swaps width and height to the system's size for the kind.
  void SetKind(TScrollBarKind kind);

  int Min() const noexcept { return fMin; }
  int Max() const noexcept { return fMax; }
  int PageSize() const noexcept { return fPage; }
  int SmallChange() const noexcept { return fStep; }
  int LargeChange() const noexcept { return fPage > 1 ? fPage : 1; }
  int Position() const noexcept { return fPosition; }
  // The largest position.
  int GetLimit() const noexcept;

  // Stores the range, page (negative counts as 0) and step, clamps the
  // position into the new range and repaints. A max below min is a range with
  // one position (min): the bars of an empty grid get that.
  void SetParams(int min, int max, int page, int step);
  void SetPosition(int value);

  // The scroll notice.
  TControlNotify OnChange;

  // Repeat timing of held buttons: the first repeat after kFirstDelay, then
  // every kRepeatDelay milliseconds.
  static constexpr std::uint32_t kFirstDelay = 400;
  static constexpr std::uint32_t kRepeatDelay = 50;

  // Parts of the bar in client coordinates (for painting, hit tests, tests).
  enum TPart { spNone, spLineUp, spPageUp, spThumb, spPageDown, spLineDown };
  TRect PartRect(TPart part) const;
  TPart PartAt(int x, int y) const;

 protected:
  friend class TComponent;
  TTarvoScrollBar(TComponent* owner, TScrollBarKind kind = sbHorizontal);

  void Paint() override;
  void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
  void MouseUp(TMouseButton button, TShiftState shift, int x, int y) override;
  void MouseMove(TShiftState shift, int x, int y) override;
  void Timer(std::uintptr_t id) override;
  void CancelMode(WindowHandle sender) override;
  void EnabledChanged() override;
  virtual void Change();

 private:
  bool Active() const noexcept;
  void StepPart(TPart part);
  void StopTracking();
  void Store(int min, int max, int page, int step, int position);

  TScrollBarKind fKind;
  int fMin = 0, fMax = 100, fPage = 0, fStep = 1, fPosition = 0;
  TPart fPressed = spNone;
  bool fPressedHot = false;
  int fDragOffset = 0;
};

// --- location pair --------------------------------------------------------------

class TLocation : public TPersistent {
 public:
  explicit TLocation(int defaultX = 0, int defaultY = 0);
  const char* ClassName() const override { return "TLocation"; }

  int X() const noexcept { return fX; }
  int Y() const noexcept { return fY; }
  // Each raises OnChange once when the value really changes.
  void SetX(int value);
  void SetY(int value);
  void SetXY(int x, int y);

  TNotifyEvent OnChange;

  void Assign(const TPersistent& source) override;
  // X and Y when they differ from the defaults given at construction.
  void WriteProperties(TStoredObject& out) const override;

 protected:
  bool ReadProperty(std::string_view name, const TStoredValue& value) override;
  virtual void Changed();

 private:
  int fX, fY;
  int fDefaultX, fDefaultY;
};

// --- extended collection --------------------------------------------------------------

class TExtendedCollection;

// What an owner implements to hear about its collection's changes.
class IExtendedCollectionOwner {
 public:
  virtual void CollectionChanged(TExtendedCollection& collection, TCollectionItem* item) = 0;

 protected:
  ~IExtendedCollectionOwner() = default;
};

// An owned collection that, after the standard handling of every change
// notice, tells its owner (when the owner implements
// IExtendedCollectionOwner) and then OnChange: with the item that changed,
// or nullptr when the collection as a whole changed (items added, deleted,
// moved, or an update batch closed).
class TExtendedCollection : public TOwnedCollection {
 public:
  const char* ClassName() const override { return "TExtendedCollection"; }
  TCollectionEvent OnChange;

 protected:
  explicit TExtendedCollection(TPersistent* owner) : TOwnedCollection(owner) {}
  void Update(TCollectionItem* item) override;
};

// A collection of items of class T (which must be default-constructible).
template <class T>
class TExtendedCollectionOf : public TExtendedCollection {
 public:
  explicit TExtendedCollectionOf(TPersistent* owner) : TExtendedCollection(owner) {}
  T* Items(int index) const { return static_cast<T*>(Item(index)); }
  T* AddItem() { return static_cast<T*>(Add()); }

 protected:
  std::unique_ptr<TCollectionItem> CreateItem() const override { return std::make_unique<T>(); }
};

// --- popup menu ------------------------------------------------------------------

struct TMenuItemInfo {
  std::string Caption;  // "-" is a separator
  bool Enabled = true;
  bool Checked = false;
  std::function<void()> OnClick;
};

// A context menu. Popup shows it at a screen point through the platform's
// menu service (platform/ui/WindowServices.h) and runs the chosen item's OnClick.
class TPopupMenu : public TComponent {
 public:
  const char* ClassName() const override { return "TPopupMenu"; }
  std::vector<TMenuItemInfo> Items;
  // Raised before the menu shows (the items may be changed here).
  std::function<void(TPopupMenu&)> OnPopup;
  // The control whose context request showed the menu last.
  TCustomBorderedControl* PopupComponent = nullptr;
  // Shows the menu; answers the chosen index, -1 when dismissed.
  virtual int Popup(int screenX, int screenY);

 protected:
  friend class TComponent;
  explicit TPopupMenu(TComponent* owner) : TComponent(owner) {}
};

}  // namespace tarvo
