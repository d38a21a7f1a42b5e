// Services around the window system: popup menus, hints, the clipboard,
// cursors, the drag threshold, monitors and work areas, and the locale's
// separators and date order.
//
// Each service that a test must control has a test double or a switch:
// menus can be answered by a script (SetMenuTracker), the clipboard can be
// made "busy" as if another program held it open, monitors are configured
// per desktop. Everything here belongs to the user-interface thread, like the
// desktop (platform/ui/WindowSystem.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/gfx/Canvas.h"
#include "platform/ui/WindowSystem.h"

namespace tarvo::platform {

// --- popup menus ---------------------------------------------------------------

struct TMenuEntry {
  std::string Caption;  // "-" draws a separator, which cannot be chosen
  bool Enabled = true;
  bool Checked = false;
};

// Answers which entry the user chose (-1: dismissed).
using TMenuTracker =
    std::function<int(TDesktop& desktop, const std::vector<TMenuEntry>& entries, TPoint screen)>;

// Shows a menu at a screen point and waits for the choice. By default a real
// menu window: a topmost, no-activate pop-up kept inside the work area, that
// holds the mouse while open; a release on an enabled entry chooses it, a
// press outside the menu dismisses it. The wait pumps the desktop (posted
// messages, timers and paints keep running). Empty or all-separator menus
// answer -1 without showing anything.
int TrackPopupMenu(TDesktop& desktop, const std::vector<TMenuEntry>& entries, TPoint screen);
// Replaces the menu behaviour (tests answer from a script); an empty function
// restores the menu window. Returns the previous tracker.
TMenuTracker SetMenuTracker(TMenuTracker tracker);

// --- hints -------------------------------------------------------------------------

struct THintInfo {
  std::string Text;
  TPoint Position;                     // screen: the hint's top-left corner
  TRect CursorRect;                    // screen: the hint hides when the mouse leaves it
  std::uint32_t HideTimeoutMs = 2500;  // 0: no time-out
};

// One hint window per desktop: a topmost no-activate pop-up in the info
// colours showing the text. Showing another hint replaces it. It hides when
// the hide time-out passes or the mouse leaves the cursor rectangle (checked
// on the desktop's timer, so virtual time drives it in tests). An empty text
// hides the hint.
class THintWindow {
 public:
  explicit THintWindow(TDesktop& desktop);
  ~THintWindow();
  THintWindow(const THintWindow&) = delete;
  THintWindow& operator=(const THintWindow&) = delete;

  void Show(const THintInfo& info);
  void Hide();
  bool IsShowing() const;
  const std::string& Text() const noexcept { return fInfo.Text; }
  const THintInfo& Info() const noexcept { return fInfo; }
  WindowHandle Handle() const noexcept { return fWindow; }

  // How often the mouse is checked against the cursor rectangle.
  static constexpr std::uint32_t kCheckIntervalMs = 50;

 private:
  class Proc;
  TDesktop& fDesktop;
  std::unique_ptr<Proc> fProc;
  WindowHandle fWindow = 0;
  THintInfo fInfo;
  std::uint64_t fShownAt = 0;
};

// --- clipboard -----------------------------------------------------------------------

// The desktop's clipboard: one text and one picture at a time (setting either
// replaces the whole content, as emptying and filling the clipboard does).
// While another program holds the clipboard open (simulated with SetBusy),
// every operation fails and answers false / nullopt with LastError
// ERROR_ACCESS_DENIED (5); nothing is changed.
class TClipboard {
 public:
  bool SetText(std::string_view utf8);
  std::optional<std::string> GetText() const;
  bool HasText() const;
  // The picture is copied.
  bool SetBitmap(const TPixelImage& image);
  std::unique_ptr<TPixelImage> GetBitmap() const;
  bool HasBitmap() const;
  bool Clear();
  // Test hook: the clipboard is held by someone else.
  void SetBusy(bool busy) noexcept { fBusy = busy; }
  bool IsBusy() const noexcept { return fBusy; }

 private:
  bool Open() const;
  bool fBusy = false;
  std::optional<std::string> fText;
  std::unique_ptr<TPixelImage> fBitmap;
};

// The process's clipboard.
TClipboard& Clipboard();

// --- cursors --------------------------------------------------------------------------

// Screen cursor ids the toolkit uses, with the desktop's numbering.
inline constexpr int crDefault = 0;
inline constexpr int crNone = -1;
inline constexpr int crArrow = -2;
inline constexpr int crCross = -3;
inline constexpr int crIBeam = -4;
inline constexpr int crSizeWE = -9;
inline constexpr int crHourGlass = -11;
inline constexpr int crDrag = -12;
inline constexpr int crNoDrop = -13;
inline constexpr int crHSplit = -14;
inline constexpr int crVSplit = -15;
inline constexpr int crMultiDrag = -16;
inline constexpr int crHandPoint = -21;

// A cursor picture: 32-bit pixels with a transparent colour and a hot spot.
struct TCursorImage {
  std::shared_ptr<TPixelImage> Image;
  TColor TransparentColor = 0xFF00FF;
  TPoint HotSpot;
};

// The screen's cursors: the standard ids and the ones registered by id (the
// grid registers its remover cursor as 200). The current screen cursor
// overrides every window's own cursor while it is not crDefault.
class TScreenCursors {
 public:
  // Registers (or replaces) a cursor under id.
  void Register(int id, TCursorImage cursor);
  bool IsKnown(int id) const;              // standard ids and registered ones
  const TCursorImage* Find(int id) const;  // registered ones only

  int ScreenCursor() const noexcept { return fScreenCursor; }
  void SetScreenCursor(int id) noexcept { fScreenCursor = id; }

  // A window's own cursor, shown while the mouse is over it (crDefault
  // forgets the window).
  void SetWindowCursor(WindowHandle window, int id);
  int WindowCursor(WindowHandle window) const;
  // What the mouse shows now on desktop: the screen cursor, else the cursor of
  // the window under the mouse (crDefault when none).
  int CurrentCursor(const TDesktop& desktop) const;

 private:
  std::vector<std::pair<int, TCursorImage>> fCursors;
  std::vector<std::pair<WindowHandle, int>> fWindowCursors;
  int fScreenCursor = crDefault;
};

TScreenCursors& ScreenCursors();

// Reads a cursor resource: a PNG picture whose top-left pixel's colour is
// transparent, with the hot spot at its centre. Throws ECanvasError when the
// resource is missing or not a picture.
TCursorImage LoadCursorResource(std::string_view resourceName);

// --- drag threshold ----------------------------------------------------------------------

// A drag that starts once the mouse has moved beyond the desktop's drag
// threshold (SM_CXDRAG / SM_CYDRAG) from where it was pressed, or at once.
class TDragTracker {
 public:
  // threshold < 0: the desktop's threshold.
  void Begin(const TDesktop& desktop, TPoint screenStart, bool immediate = false,
             int threshold = -1);
  // True once the drag has started (this move or an earlier one).
  bool Move(TPoint screen);
  // Ends the drag; answers whether it had started.
  bool End();
  bool Active() const noexcept { return fActive; }
  bool Started() const noexcept { return fStarted; }
  TPoint Start() const noexcept { return fStart; }

 private:
  bool fActive = false;
  bool fStarted = false;
  TPoint fStart;
  int fThresholdX = 4;
  int fThresholdY = 4;
};

// --- monitors ---------------------------------------------------------------------------

// Monitors of a desktop come from TDesktop::SetMonitors (default: one monitor
// covering the screen, its work area the screen minus a 40-pixel task bar at
// the bottom).
const TMonitorInfo& MonitorFromPoint(const TDesktop& desktop, TPoint screen);
// The monitor that holds the largest part of rect (the nearest when none).
const TMonitorInfo& MonitorFromRect(const TDesktop& desktop, const TRect& rect);
const TMonitorInfo& MonitorFromWindow(const TDesktop& desktop, WindowHandle window);

// --- locale --------------------------------------------------------------------------------

enum TDateOrder : std::uint8_t { doMDY, doDMY, doYMD };

struct TLocaleSeparators {
  std::string Decimal = ".";
  std::string Thousand = ",";
  std::string List = ",";
  char Date = '/';
  char Time = ':';
  TDateOrder DateOrder = doMDY;
};

// The separators and date order of a locale ("en_US", "ru_RU", ...; empty:
// the current locale from LC_ALL / LC_NUMERIC / LANG). The list separator
// is ";" where the decimal separator is ",", as the desktop has it.
TLocaleSeparators LocaleSeparators(std::string_view localeName = {});

}  // namespace tarvo::platform
