// The window system: windows, painting, input and timers on a desktop of our own.
//
// The toolkit's controls are written against the desktop's window model:
// windows with handles in a tree, a client area inside a frame, invalid
// regions that are painted later with their clip, scroll-window, mouse capture,
// keyboard focus, activation, timers and posted messages. TDesktop gives that
// model without any display: every window keeps its pixels in a backing store
// of its own, the desktop composites the top-level windows into one screen
// image (a screenshot), and input arrives as calls (tests script it; the X11
// presenter, platform/ui/x11/WindowX11.h, feeds real input through the same calls).
//
// Coordinates. A top-level window's bounds are in screen coordinates; a
// child's are in its parent's client coordinates. A window's own image covers
// its whole bounds (frame included); its client area is the bounds minus the
// frame insets given at creation, and client coordinates start at the client
// area's top-left corner. Invalid regions and paint clips are in client
// coordinates.
//
// Painting. Invalidate* adds to a window's invalid region; ProcessPaint (run
// by every pump) paints each visible window with a non-empty region: the
// region is taken and cleared, then WindowPaint runs with a canvas on the
// window's backing store whose origin is the client's top-left and whose clip
// is the region. The background is erased first only when an invalidation
// asked for it (erase = true). A window that invalidates itself while it
// paints is painted again in the next pass, never in the same one. Children
// keep their own stores; the composite draws them over their parent, so a
// parent never paints under its children (child clipping).
//
// ScrollWindow moves the pixels of a rectangle of the client area by (dx, dy)
// within a clip, invalidates exactly the part of the moved area that no moved
// pixel covers, and moves the part of the pending invalid region that lies in
// the moved area along with the pixels. Child windows are not moved.
//
// Input. Mouse events carry a screen point. They go to the window holding
// capture, else to the deepest visible, enabled window under the point (a
// disabled window swallows the event); the handler gets client coordinates.
// The desktop tracks the window under the mouse and sends leave/enter when it
// changes (not while capture is held). A press on a window other than the
// focused one first sends cancel-mode to the focused window, naming the
// pressed window (so drop-downs, drags and modes end when the user clicks
// elsewhere, and a control can ignore presses on its own parts) and activates the
// pressed window's top-level (unless it is a no-activate window). Presses on
// a window created with wsDblClicks within the double-click time and distance
// of the previous press of the same button arrive with ssDouble. Wheel events
// go to the window under the point and pass to its parents until one handles
// them. Keys and characters go to the focused window, else to the active
// top-level window.
//
// Timers. SetTimer(window, id, ms) (re)starts a periodic timer. With a virtual
// clock, time moves only by AdvanceTime, which fires every timer that falls
// due, one by one, in the order of their due times (set order between equal
// times), each with the clock at its due time. With the real clock, pumps fire
// due timers; a timer that is late by several periods fires once.
//
// Messages. Every window is a target of the desktop's MessageQueue (by default
// the process-wide UI queue): its handle is the queue's handle, so PostMessage
// and SendMessage to a window run its WindowMessage on the UI thread. Messages
// still pending when a window is destroyed are dropped.
//
// Threads. A desktop and its windows belong to the UI thread of its queue;
// only PostMessage and SendMessage may be called from other threads. Calling
// anything else from another thread throws std::logic_error.
//
// Re-entrancy. Handlers may create and destroy windows, move capture and
// focus, and pump, from inside any callback. The desktop looks windows up by
// handle after every callback, so a handler that destroys its own window does
// not leave a dangling reference behind.
//
// Errors. Operations on a handle that is not a window of this desktop return
// false / empty values (LastError ERROR_INVALID_WINDOW_HANDLE, 1400), as on
// the desktop. Invalid arguments (a timer interval of 0, a parent that is not
// a window of this desktop, a window larger than an image can be) throw
// EWindowError.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/core/Colors.h"
#include "platform/gfx/Canvas.h"
#include "platform/gfx/CanvasTypes.h"
#include "platform/system/MessageQueue.h"

namespace tarvo::platform {

class EWindowError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::uint32_t ERROR_INVALID_WINDOW_HANDLE = 1400;

// --- input values -----------------------------------------------------------

enum TMouseButton : std::uint8_t { mbLeft, mbRight, mbMiddle };

// Modifier and button state of an input event, as bits.
using TShiftState = std::uint32_t;
inline constexpr TShiftState ssShift = 0x01;
inline constexpr TShiftState ssAlt = 0x02;
inline constexpr TShiftState ssCtrl = 0x04;
inline constexpr TShiftState ssLeft = 0x08;
inline constexpr TShiftState ssRight = 0x10;
inline constexpr TShiftState ssMiddle = 0x20;
inline constexpr TShiftState ssDouble = 0x40;

// Virtual keys, with the desktop's values (letters and digits are their
// upper-case ASCII codes).
using TVirtualKey = std::uint16_t;
inline constexpr TVirtualKey VK_BACK = 0x08;
inline constexpr TVirtualKey VK_TAB = 0x09;
inline constexpr TVirtualKey VK_RETURN = 0x0D;
inline constexpr TVirtualKey VK_SHIFT = 0x10;
inline constexpr TVirtualKey VK_CONTROL = 0x11;
inline constexpr TVirtualKey VK_MENU = 0x12;
inline constexpr TVirtualKey VK_ESCAPE = 0x1B;
inline constexpr TVirtualKey VK_SPACE = 0x20;
inline constexpr TVirtualKey VK_PRIOR = 0x21;
inline constexpr TVirtualKey VK_NEXT = 0x22;
inline constexpr TVirtualKey VK_END = 0x23;
inline constexpr TVirtualKey VK_HOME = 0x24;
inline constexpr TVirtualKey VK_LEFT = 0x25;
inline constexpr TVirtualKey VK_UP = 0x26;
inline constexpr TVirtualKey VK_RIGHT = 0x27;
inline constexpr TVirtualKey VK_DOWN = 0x28;
inline constexpr TVirtualKey VK_INSERT = 0x2D;
inline constexpr TVirtualKey VK_DELETE = 0x2E;
inline constexpr TVirtualKey VK_APPS = 0x5D;
inline constexpr TVirtualKey VK_F1 = 0x70;
inline constexpr TVirtualKey VK_F10 = 0x79;

// Answers of the dialog-code query: which keys a control handles itself
// instead of leaving them to dialog navigation.
inline constexpr std::uint32_t DLGC_WANTARROWS = 0x0001;
inline constexpr std::uint32_t DLGC_WANTTAB = 0x0002;
inline constexpr std::uint32_t DLGC_WANTALLKEYS = 0x0004;
inline constexpr std::uint32_t DLGC_WANTCHARS = 0x0080;

// System metrics the toolkit reads, with the desktop's indices. Values are
// the desktop's defaults until SetSystemMetric changes them.
inline constexpr int SM_CXSCREEN = 0;
inline constexpr int SM_CYSCREEN = 1;
inline constexpr int SM_CXVSCROLL = 2;     // width of a vertical scroll bar (17)
inline constexpr int SM_CYHSCROLL = 3;     // height of a horizontal scroll bar (17)
inline constexpr int SM_CXBORDER = 5;      // 1
inline constexpr int SM_CYBORDER = 6;      // 1
inline constexpr int SM_CYVTHUMB = 9;      // 17
inline constexpr int SM_CXHTHUMB = 10;     // 17
inline constexpr int SM_CXCURSOR = 13;     // 32
inline constexpr int SM_CYCURSOR = 14;     // 32
inline constexpr int SM_CYVSCROLL = 20;    // height of a vertical bar's arrow (17)
inline constexpr int SM_CXHSCROLL = 21;    // width of a horizontal bar's arrow (17)
inline constexpr int SM_CXDOUBLECLK = 36;  // 4
inline constexpr int SM_CYDOUBLECLK = 37;  // 4
inline constexpr int SM_CXEDGE = 45;       // 2
inline constexpr int SM_CYEDGE = 46;       // 2
inline constexpr int SM_CXDRAG = 68;       // drag threshold (4)
inline constexpr int SM_CYDRAG = 69;       // 4
inline constexpr int SM_CXMENUCHECK = 71;  // 13
inline constexpr int SM_CYMENUCHECK = 72;  // 13
inline constexpr int SM_CMONITORS = 80;    // 1 unless monitors are configured

// --- windows ----------------------------------------------------------------

// Style bits of a window.
using TWindowStyle = std::uint32_t;
inline constexpr TWindowStyle wsVisible = 0x0001;
inline constexpr TWindowStyle wsDisabled = 0x0002;
inline constexpr TWindowStyle wsTabStop = 0x0004;
inline constexpr TWindowStyle wsDblClicks = 0x0008;   // presses may arrive with ssDouble
inline constexpr TWindowStyle wsTopmost = 0x0010;     // top-level: above all others
inline constexpr TWindowStyle wsNoActivate = 0x0020;  // top-level: a press does not activate it
inline constexpr TWindowStyle wsToolWindow = 0x0040;  // top-level: no taskbar button, small frame
inline constexpr TWindowStyle wsPopup = 0x0080;       // top-level without decoration (menus, hints)

struct TCreateParams {
  WindowHandle Parent = 0;  // 0: a top-level window
  TRect Bounds;             // screen (top-level) or parent client coordinates
  TWindowStyle Style = wsVisible;
  // Frame widths on each side (Left, Top, Right, Bottom): the client area is
  // the bounds minus these.
  TRect FrameInsets;
  // Pixels of this colour are transparent in the composite and let the mouse
  // through (a window shaped by a colour key).
  std::optional<TColor> ColorKey;
  // What an erase fills the invalid region with.
  TColor Background = clWindow;
  std::string Caption;
};

// The callbacks of a window. Every method has a default that does nothing
// (or the desktop's default), so a handler overrides what it needs. The
// handler must outlive its windows or destroy them first.
class TWindowProc {
 public:
  virtual ~TWindowProc() = default;

  // Paint the client area; canvas origin is the client's top-left, clip is
  // the region being painted (client coordinates).
  virtual void WindowPaint(WindowHandle, TCanvas&, const TRegion& /*clip*/) {}
  // Paint the frame; canvas origin is the window's top-left, clipped to the frame.
  virtual void WindowPaintFrame(WindowHandle, TCanvas&) {}
  // Erase the background of an invalidation that asked for it; false lets the
  // desktop fill the region with the window's background colour.
  virtual bool WindowEraseBackground(WindowHandle, TCanvas&, const TRegion&) { return false; }

  // Mouse, in client coordinates. shift carries the modifiers and the buttons
  // held (the pressed one included on a press), and ssDouble on a double click.
  virtual void WindowMouseDown(WindowHandle, TMouseButton, TShiftState, TPoint) {}
  virtual void WindowMouseUp(WindowHandle, TMouseButton, TShiftState, TPoint) {}
  virtual void WindowMouseMove(WindowHandle, TShiftState, TPoint) {}
  // True when handled; otherwise the parent is asked. delta is in the
  // desktop's units (120 per notch, positive away from the user); point is
  // in screen coordinates.
  virtual bool WindowMouseWheel(WindowHandle, int /*delta*/, TShiftState, TPoint) { return false; }
  virtual void WindowMouseEnter(WindowHandle) {}
  virtual void WindowMouseLeave(WindowHandle) {}

  virtual void WindowKeyDown(WindowHandle, TVirtualKey, TShiftState) {}
  virtual void WindowKeyUp(WindowHandle, TVirtualKey, TShiftState) {}
  // One character (a Unicode code point; control characters such as
  // backspace 8 and escape 27 included).
  virtual void WindowChar(WindowHandle, char32_t) {}
  // Which keys this window wants (DLGC_ bits).
  virtual std::uint32_t WindowDialogCode(WindowHandle, TVirtualKey) { return 0; }

  // End any mode (drag, drop-down, pressed state) at once. sender is the
  // window whose press caused it (0 when asked for directly), so that a
  // control can ignore presses on its own parts.
  virtual void WindowCancelMode(WindowHandle, WindowHandle /*sender*/) {}
  virtual void WindowFocusChanged(WindowHandle, bool /*focused*/, WindowHandle /*other*/) {}
  virtual void WindowActivated(WindowHandle, bool /*active*/) {}
  // This window lost capture (newCapture may be 0).
  virtual void WindowCaptureLost(WindowHandle, WindowHandle /*newCapture*/) {}
  virtual void WindowTimer(WindowHandle, std::uintptr_t /*id*/) {}
  // The size changed (the whole client area is invalid afterwards).
  virtual void WindowResized(WindowHandle) {}
  virtual void WindowShown(WindowHandle, bool /*visible*/) {}
  // A posted or sent message.
  virtual std::intptr_t WindowMessage(WindowHandle, std::uint32_t, std::uintptr_t, std::intptr_t) {
    return 0;
  }
  // The window is going away (children before parents); the handle is still
  // valid during the call.
  virtual void WindowDestroyed(WindowHandle) {}
};

// One input event as input hooks see it, before it is routed.
struct TInputEvent {
  enum TKind : std::uint8_t {
    ieMouseMove,
    ieMouseDown,
    ieMouseUp,
    ieMouseWheel,
    ieKeyDown,
    ieKeyUp,
    ieChar
  };
  TKind Kind = ieMouseMove;
  TPoint Point;         // screen; the cursor position for keys and characters
  TVirtualKey Key = 0;  // keys; the button (TMouseButton) for presses and releases
  TShiftState Shift = 0;
  char32_t Char = 0;  // characters
};

// One monitor: its bounds and its work area (the bounds without task bars),
// in screen coordinates.
struct TMonitorInfo {
  TRect Bounds;
  TRect WorkArea;
  bool Primary = false;
  friend bool operator==(const TMonitorInfo&, const TMonitorInfo&) = default;
};

// A clock in milliseconds.
class IDesktopClock {
 public:
  virtual ~IDesktopClock() = default;
  virtual std::uint64_t NowMs() = 0;
};

class TDesktop {
 public:
  struct Options {
    int ScreenWidth = 1280;
    int ScreenHeight = 1024;
    // Time moves only through AdvanceTime (tests); otherwise real time.
    bool VirtualTime = false;
    // The queue whose targets the windows are; nullptr: MessageQueue::UI().
    MessageQueue* Queue = nullptr;
  };

  TDesktop();
  explicit TDesktop(const Options& options);
  // Destroys every window that is left (their WindowDestroyed runs).
  ~TDesktop();
  TDesktop(const TDesktop&) = delete;
  TDesktop& operator=(const TDesktop&) = delete;

  // The desktop the toolkit's controls use: the one installed with
  // SetCurrent, else a headless real-time desktop made on first use.
  static TDesktop& Current();
  // Installs desktop (nullptr: back to the default one) and returns the one
  // installed before (nullptr for the default).
  static TDesktop* SetCurrent(TDesktop* desktop);

  MessageQueue& Queue() const noexcept { return *fQueue; }
  TRect ScreenRect() const noexcept;
  // Changes the screen size; the default monitor follows it, configured
  // monitors stay as they are.
  void SetScreenSize(int width, int height);

  // The monitors, primary first: by default one that covers the screen with
  // a 40-pixel task bar at the bottom. SetMonitors throws EWindowError for an
  // empty list or a monitor without area; the first one becomes primary.
  const std::vector<TMonitorInfo>& Monitors() const noexcept { return fMonitors; }
  void SetMonitors(std::vector<TMonitorInfo> monitors);

  // --- windows --------------------------------------------------------------
  // Throws EWindowError for a parent that is not a window of this desktop or
  // bounds larger than an image can be.
  WindowHandle CreateWindow(const TCreateParams& params, TWindowProc* proc);
  // Destroys the window and its children. False for an unknown handle.
  bool DestroyWindow(WindowHandle window);
  bool IsWindow(WindowHandle window) const;

  WindowHandle GetParent(WindowHandle window) const;
  // Children in z-order, bottom first.
  std::vector<WindowHandle> GetChildren(WindowHandle window) const;
  // Top-level windows in z-order, bottom first (topmost ones last).
  std::vector<WindowHandle> TopLevelWindows() const;
  // The top-level window that holds window (itself for a top-level one).
  WindowHandle GetTopLevel(WindowHandle window) const;
  bool IsChild(WindowHandle parent, WindowHandle window) const;  // any depth

  TWindowStyle GetStyle(WindowHandle window) const;
  std::string GetCaption(WindowHandle window) const;
  bool SetCaption(WindowHandle window, std::string_view caption);

  // Bounds in parent coordinates (screen for top-level windows).
  TRect GetBounds(WindowHandle window) const;
  bool SetBounds(WindowHandle window, const TRect& bounds);
  bool SetFrameInsets(WindowHandle window, const TRect& insets);
  TRect GetFrameInsets(WindowHandle window) const;
  // (0, 0, client width, client height).
  TRect GetClientRect(WindowHandle window) const;
  // Bounds in screen coordinates.
  TRect GetWindowRect(WindowHandle window) const;
  TPoint ClientToScreen(WindowHandle window, TPoint p) const;
  TPoint ScreenToClient(WindowHandle window, TPoint p) const;

  bool ShowWindow(WindowHandle window, bool visible);
  bool IsWindowVisible(WindowHandle window) const;  // itself and every ancestor
  bool EnableWindow(WindowHandle window, bool enabled);
  bool IsWindowEnabled(WindowHandle window) const;  // itself and every ancestor
  // Moves to the top (bottom) of its siblings; topmost top-levels stay above
  // the others.
  bool BringToFront(WindowHandle window);
  bool SendToBack(WindowHandle window);
  // The pixels outside region (window coordinates) are not drawn and let the
  // mouse through; nullopt removes the region.
  bool SetWindowRegion(WindowHandle window, std::optional<TRegion> region);
  // The deepest visible window under a screen point (disabled ones included),
  // 0 when none.
  WindowHandle WindowFromPoint(TPoint screen) const;

  // --- painting -------------------------------------------------------------
  // rect in client coordinates; nullptr: the whole client area.
  bool InvalidateRect(WindowHandle window, const TRect* rect, bool erase = false);
  bool InvalidateRegion(WindowHandle window, const TRegion& region, bool erase = false);
  bool ValidateRect(WindowHandle window, const TRect* rect);
  // The pending invalid region (client coordinates).
  TRegion GetUpdateRegion(WindowHandle window) const;
  // Paints the window now if it has anything invalid (its frame included).
  bool UpdateWindow(WindowHandle window);
  // Paints every visible window that needs it, parents before children.
  // Returns the number of paints run.
  int ProcessPaint();
  // Scrolls pixels (see the file comment). scroll and clip are client
  // rectangles (nullptr: the client area). False for an unknown window.
  bool ScrollWindow(WindowHandle window, int dx, int dy, const TRect* scroll, const TRect* clip);
  // The window's backing store (its whole bounds). Writers call
  // WindowImageChanged afterwards so that presenters see the change.
  TPixelImage* WindowImage(WindowHandle window);
  void WindowImageChanged(WindowHandle window);
  // Draws outside a paint, as with a device context of the window: origin at
  // the client's top-left, clipped to the client area.
  bool DrawOn(WindowHandle window, const std::function<void(TCanvas&)>& draw);
  // The screen: the background colour, then every visible top-level window
  // with its children, bottom to top, as their backing stores hold them now.
  std::unique_ptr<TPixelImage> Screenshot() const;
  // One top-level window with its children, as the screen shows it (pixels
  // not drawn through a region or colour key are left black). A new image
  // that the caller owns and may change; every pixel is 0x00RRGGBB with the
  // top byte 0, so it can go to a display as it is.
  std::unique_ptr<TPixelImage> ComposeWindow(WindowHandle window) const;
  // Increases whenever anything in the window's tree changes its look or
  // place (presenters compare it).
  std::uint64_t Generation(WindowHandle topLevel) const;

  // --- input ----------------------------------------------------------------
  void MouseMove(TPoint screen, TShiftState shift = 0);
  void MouseDown(TPoint screen, TMouseButton button, TShiftState shift = 0);
  void MouseUp(TPoint screen, TMouseButton button, TShiftState shift = 0);
  void MouseWheel(TPoint screen, int delta, TShiftState shift = 0);
  void KeyDown(TVirtualKey key, TShiftState shift = 0);
  void KeyUp(TVirtualKey key, TShiftState shift = 0);
  // Every code point of the UTF-8 text as one character event.
  void Chars(std::string_view utf8);
  TPoint CursorPos() const noexcept { return fCursorPos; }
  // Hooks that see every input event before it is routed (an idle monitor
  // records the time of the last input here), in the order they were added.
  // Returns an id for RemoveInputHook. A hook may add and remove hooks, itself
  // included, while an event is being dispatched: one removed during the pass
  // is not called again, not even for that event if its turn had not come
  // yet; one added during the pass first sees the next event.
  int AddInputHook(std::function<void(const TInputEvent&)> hook);
  void RemoveInputHook(int id);
  // Sends cancel-mode to the window (sender 0).
  bool SendCancelMode(WindowHandle window, WindowHandle sender = 0);
  // Asks the window which keys it wants (0 for an unknown window).
  std::uint32_t QueryDialogCode(WindowHandle window, TVirtualKey key);

  WindowHandle SetCapture(WindowHandle window);  // returns the previous holder
  bool ReleaseCapture();
  WindowHandle GetCapture() const noexcept { return fCapture; }
  // Focus goes only to a visible, enabled window; returns the previous one (0
  // when the focus did not move).
  WindowHandle SetFocus(WindowHandle window);
  WindowHandle GetFocus() const noexcept { return fFocus; }
  WindowHandle GetActiveWindow() const noexcept { return fActive; }
  bool SetActiveWindow(WindowHandle window);
  // The window under the mouse (that got the last enter).
  WindowHandle HoverWindow() const noexcept { return fHover; }

  // --- time -----------------------------------------------------------------
  // Milliseconds since the desktop was made (virtual or real).
  std::uint64_t NowMs() const;
  // The desktop's clock as a 32-bit tick count.
  std::uint32_t TickCount() const { return static_cast<std::uint32_t>(NowMs()); }
  bool IsVirtualTime() const noexcept { return fVirtual; }
  // Virtual time only (std::logic_error otherwise): moves the clock forward,
  // firing due timers in order. Returns the number of timer events.
  int AdvanceTime(std::uint64_t ms);
  // Real time: fires the timers that are due. Returns how many fired.
  int ProcessTimers();
  // Throws EWindowError for an interval of 0 (a timer that never waits would
  // keep every pump busy); false for an unknown window.
  bool SetTimer(WindowHandle window, std::uintptr_t id, std::uint32_t intervalMs);
  bool KillTimer(WindowHandle window, std::uintptr_t id);
  // Milliseconds until the next timer is due (nullopt: none).
  std::optional<std::uint64_t> NextTimerDue() const;

  // --- messages and pumps ---------------------------------------------------
  bool PostMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                   std::intptr_t lParam);
  std::optional<std::intptr_t> SendMessage(WindowHandle window, std::uint32_t message,
                                           std::uintptr_t wParam, std::intptr_t lParam);
  // Posted and sent messages, due timers (real time), then paints, then the
  // idle hooks (presenters). Returns the number of things handled.
  int ProcessMessages();
  // Pumps until done() answers true or timeoutMs passes (real time).
  bool RunUntil(const std::function<bool()>& done, std::uint32_t timeoutMs);
  // Called at the end of every ProcessMessages (presenters sync here), in the
  // order they were added. Returns an id for RemoveIdleHook. Adding and
  // removing during a pass follow the input hooks' rules: a hook removed by
  // an earlier one is skipped, one added starts with the next pass.
  int AddIdleHook(std::function<void()> hook);
  void RemoveIdleHook(int id);

  // --- system metrics ---------------------------------------------------------
  // The desktop's metric (SM_ values of WindowServices.h); 0 for an unknown one.
  int GetSystemMetric(int index) const;
  void SetSystemMetric(int index, int value);
  std::uint32_t DoubleClickTime() const noexcept { return fDoubleClickTime; }
  void SetDoubleClickTime(std::uint32_t ms) noexcept { fDoubleClickTime = ms; }

  struct Win;  // one window's state (internal)

 private:
  Win* Find(WindowHandle window) const;
  Win* FindOrFail(WindowHandle window) const;
  void RequireUIThread() const;
  void DestroyTree(WindowHandle window);
  TPoint ClientOrigin(const Win& w) const;  // screen position of the client's top-left
  void Touch(const Win& w);
  void PaintOne(WindowHandle window);
  WindowHandle HitTest(TPoint screen, bool forMouse) const;
  void UpdateHover(WindowHandle target);
  void DeliverMouse(int kind, TPoint screen, TMouseButton button, TShiftState shift);
  void FireTimer(WindowHandle window, std::uintptr_t id);
  void ComposeInto(TPixelImage& target, const Win& w, TPoint origin, const TRect& clip) const;
  void ActivateTopLevel(WindowHandle topLevel);

  struct Timer {
    WindowHandle window;
    std::uintptr_t id;
    std::uint32_t interval;
    std::uint64_t due;
    std::uint64_t order;
  };

  MessageQueue* fQueue;
  int fScreenWidth;
  int fScreenHeight;
  bool fVirtual;
  std::uint64_t fVirtualNow = 0;
  std::uint64_t fRealStart = 0;
  std::unordered_map<WindowHandle, std::unique_ptr<Win>> fWindows;
  std::vector<WindowHandle> fTopLevels;  // z-order, bottom first
  std::vector<Timer> fTimers;
  std::uint64_t fTimerOrder = 0;
  WindowHandle fCapture = 0;
  WindowHandle fFocus = 0;
  WindowHandle fActive = 0;
  WindowHandle fHover = 0;
  TPoint fCursorPos{-1, -1};
  TShiftState fButtons = 0;
  // Last press, for double clicks.
  WindowHandle fLastDownWindow = 0;
  TMouseButton fLastDownButton = mbLeft;
  std::uint64_t fLastDownTime = 0;
  TPoint fLastDownPos;
  bool fLastDownWasDouble = false;
  std::uint32_t fDoubleClickTime = 500;
  std::vector<std::pair<int, int>> fMetrics;  // overrides
  // Hooks are held by shared pointers so that a hook that removes itself (or
  // is removed by one it calls) lives until its own call returns.
  template <class Fn>
  using HookList = std::vector<std::pair<int, std::shared_ptr<Fn>>>;
  HookList<std::function<void()>> fIdleHooks;
  HookList<std::function<void(const TInputEvent&)>> fInputHooks;
  void RunInputHooks(const TInputEvent& event);
  void RunIdleHooks();
  int fNextHookId = 1;
  std::uint64_t fGeneration = 0;
  std::vector<TMonitorInfo> fMonitors;
};

}  // namespace tarvo::platform
