#include "platform/ui/WindowServices.h"

#include <unicode/dcfmtsym.h>
#include <unicode/locid.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "platform/core/DateTime.h"
#include "platform/core/Errors.h"
#include "platform/core/Resources.h"
#include "platform/core/Text.h"

namespace tarvo::platform {

namespace {

TMenuTracker& Tracker() {
  static TMenuTracker tracker;
  return tracker;
}

bool Selectable(const TMenuEntry& e) {
  return e.Enabled && e.Caption != "-";
}

// The menu window: entries one below the other; the highlighted one follows
// the mouse.
class MenuProc : public TWindowProc {
 public:
  static constexpr int kItemHeight = 20;
  static constexpr int kSeparatorHeight = 8;

  MenuProc(TDesktop& desktop, const std::vector<TMenuEntry>& entries)
      : desktop(desktop), entries(entries) {}

  int ItemAt(TPoint p) const {
    if (p.X < 0 || p.X >= width) return -1;
    int top = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const int h = entries[i].Caption == "-" ? kSeparatorHeight : kItemHeight;
      if (p.Y >= top && p.Y < top + h) return static_cast<int>(i);
      top += h;
    }
    return -1;
  }

  void WindowPaint(WindowHandle, TCanvas& canvas, const TRegion&) override {
    canvas.Brush() = TBrush{clMenu, bsSolid};
    canvas.FillRect({0, 0, width, height});
    int top = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const TMenuEntry& e = entries[i];
      if (e.Caption == "-") {
        canvas.Pen() = TPen{clBtnShadow};
        canvas.MoveTo(2, top + kSeparatorHeight / 2);
        canvas.LineTo(width - 2, top + kSeparatorHeight / 2);
        top += kSeparatorHeight;
        continue;
      }
      const bool hot = static_cast<int>(i) == selected;
      if (hot) {
        canvas.Brush() = TBrush{clHighlight, bsSolid};
        canvas.FillRect({0, top, width, top + kItemHeight});
      }
      canvas.Brush().Style = bsClear;
      canvas.Font().Color = !e.Enabled ? clGrayText : hot ? clHighlightText : clMenuText;
      if (e.Checked) canvas.TextOut(6, top + 3, "\u2713");
      canvas.TextOut(22, top + 3, e.Caption);
      top += kItemHeight;
    }
  }
  void WindowMouseMove(WindowHandle h, TShiftState, TPoint p) override {
    const int item = ItemAt(p);
    const int next = item >= 0 && Selectable(entries[static_cast<std::size_t>(item)]) ? item : -1;
    if (next != selected) {
      selected = next;
      desktop.InvalidateRect(h, nullptr);
    }
  }
  void WindowMouseDown(WindowHandle, TMouseButton, TShiftState, TPoint p) override {
    if (ItemAt(p) < 0) done = true;  // a press outside dismisses
  }
  void WindowMouseUp(WindowHandle, TMouseButton, TShiftState, TPoint p) override {
    const int item = ItemAt(p);
    if (item >= 0 && Selectable(entries[static_cast<std::size_t>(item)])) {
      result = item;
      done = true;
    }
  }
  void WindowKeyDown(WindowHandle, TVirtualKey key, TShiftState) override {
    if (key == VK_ESCAPE) done = true;
  }
  void WindowCancelMode(WindowHandle, WindowHandle) override { done = true; }
  void WindowCaptureLost(WindowHandle, WindowHandle) override { done = true; }
  void WindowDestroyed(WindowHandle) override { done = true; }

  TDesktop& desktop;
  const std::vector<TMenuEntry>& entries;
  int width = 0, height = 0;
  int selected = -1;
  int result = -1;
  bool done = false;
};

// Moves rect into area as far as it fits (the top-left corner wins).
TRect KeepInside(TRect rect, const TRect& area) {
  const int w = rect.Width(), h = rect.Height();
  if (rect.Right > area.Right) rect = rect.Offset(area.Right - rect.Right, 0);
  if (rect.Bottom > area.Bottom) rect = rect.Offset(0, area.Bottom - rect.Bottom);
  if (rect.Left < area.Left) rect = {area.Left, rect.Top, area.Left + w, rect.Bottom};
  if (rect.Top < area.Top) rect = {rect.Left, area.Top, rect.Right, area.Top + h};
  return rect;
}

}  // namespace

// --- popup menus -----------------------------------------------------------------

TMenuTracker SetMenuTracker(TMenuTracker tracker) {
  TMenuTracker previous = std::move(Tracker());
  Tracker() = std::move(tracker);
  return previous;
}

int TrackPopupMenu(TDesktop& desktop, const std::vector<TMenuEntry>& entries, TPoint screen) {
  if (Tracker()) return Tracker()(desktop, entries, screen);
  if (std::none_of(entries.begin(), entries.end(), Selectable)) return -1;

  MenuProc proc(desktop, entries);
  TPixelImage scratch(1, 1);
  TCanvas measure(scratch);
  int width = 80;
  for (const TMenuEntry& e : entries) width = std::max(width, measure.TextWidth(e.Caption) + 40);
  int height = 0;
  for (const TMenuEntry& e : entries)
    height += e.Caption == "-" ? MenuProc::kSeparatorHeight : MenuProc::kItemHeight;
  proc.width = width;
  proc.height = height;

  TCreateParams params;
  params.Bounds = KeepInside({screen.X, screen.Y, screen.X + width, screen.Y + height},
                             MonitorFromPoint(desktop, screen).WorkArea);
  params.Style = wsVisible | wsTopmost | wsNoActivate | wsPopup;
  params.Background = clMenu;
  const WindowHandle menu = desktop.CreateWindow(params, &proc);
  const WindowHandle previousCapture = desktop.SetCapture(menu);
  try {
    desktop.RunUntil([&] { return proc.done; }, UINT32_MAX);
  } catch (...) {
    desktop.DestroyWindow(menu);
    throw;
  }
  if (desktop.GetCapture() == menu) {
    desktop.ReleaseCapture();
    if (previousCapture && desktop.IsWindow(previousCapture)) desktop.SetCapture(previousCapture);
  }
  const int result = proc.result;
  desktop.DestroyWindow(menu);
  return result;
}

// --- hints -------------------------------------------------------------------------

class THintWindow::Proc : public TWindowProc {
 public:
  explicit Proc(THintWindow& owner) : owner(owner) {}
  void WindowPaint(WindowHandle, TCanvas& canvas, const TRegion&) override {
    const TRect r = owner.fDesktop.GetClientRect(owner.fWindow);
    canvas.Brush() = TBrush{clInfoBk, bsSolid};
    canvas.FillRect(r);
    canvas.Brush() = TBrush{clInfoText, bsSolid};
    canvas.FrameRect(r);
    canvas.Brush().Style = bsClear;
    canvas.Font().Color = clInfoText;
    TRect text = r.Inflate(-3, -2);
    canvas.DrawText(owner.fInfo.Text, text, DT_NOPREFIX | DT_WORDBREAK);
  }
  void WindowTimer(WindowHandle, std::uintptr_t) override {
    TDesktop& d = owner.fDesktop;
    const bool timedOut =
        owner.fInfo.HideTimeoutMs && d.NowMs() - owner.fShownAt >= owner.fInfo.HideTimeoutMs;
    const bool left =
        !owner.fInfo.CursorRect.IsEmpty() && !owner.fInfo.CursorRect.Contains(d.CursorPos());
    if (timedOut || left) owner.Hide();
  }
  void WindowDestroyed(WindowHandle) override { owner.fWindow = 0; }
  THintWindow& owner;
};

THintWindow::THintWindow(TDesktop& desktop)
    : fDesktop(desktop), fProc(std::make_unique<Proc>(*this)) {}

THintWindow::~THintWindow() {
  if (fWindow) fDesktop.DestroyWindow(fWindow);
}

void THintWindow::Show(const THintInfo& info) {
  if (info.Text.empty()) {
    Hide();
    return;
  }
  fInfo = info;
  TPixelImage scratch(1, 1);
  TCanvas measure(scratch);
  TRect box{0, 0, 300, 0};
  measure.DrawText(info.Text, box, DT_CALCRECT | DT_NOPREFIX | DT_WORDBREAK);
  const TRect area = MonitorFromPoint(fDesktop, info.Position).WorkArea;
  const TRect bounds =
      KeepInside({info.Position.X, info.Position.Y, info.Position.X + box.Width() + 6,
                  info.Position.Y + box.Height() + 4},
                 area);
  if (!fWindow) {
    TCreateParams params;
    params.Bounds = bounds;
    params.Style = wsVisible | wsTopmost | wsNoActivate | wsPopup;
    params.Background = clInfoBk;
    fWindow = fDesktop.CreateWindow(params, fProc.get());
  } else {
    fDesktop.SetBounds(fWindow, bounds);
    fDesktop.ShowWindow(fWindow, true);
    fDesktop.BringToFront(fWindow);
    fDesktop.InvalidateRect(fWindow, nullptr);
  }
  fShownAt = fDesktop.NowMs();
  fDesktop.SetTimer(fWindow, 1, kCheckIntervalMs);
}

void THintWindow::Hide() {
  if (!fWindow) return;
  fDesktop.KillTimer(fWindow, 1);
  fDesktop.ShowWindow(fWindow, false);
}

bool THintWindow::IsShowing() const {
  return fWindow && fDesktop.IsWindowVisible(fWindow);
}

// --- clipboard -----------------------------------------------------------------------

bool TClipboard::Open() const {
  if (fBusy) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

bool TClipboard::SetText(std::string_view utf8) {
  if (!Open()) return false;
  fText = std::string(utf8);
  fBitmap.reset();
  return true;
}

std::optional<std::string> TClipboard::GetText() const {
  if (!Open()) return std::nullopt;
  return fText;
}

bool TClipboard::HasText() const {
  return Open() && fText.has_value();
}

bool TClipboard::SetBitmap(const TPixelImage& image) {
  if (!Open()) return false;
  fBitmap = image.Clone();
  fText.reset();
  return true;
}

std::unique_ptr<TPixelImage> TClipboard::GetBitmap() const {
  if (!Open() || !fBitmap) return nullptr;
  return fBitmap->Clone();
}

bool TClipboard::HasBitmap() const {
  return Open() && fBitmap != nullptr;
}

bool TClipboard::Clear() {
  if (!Open()) return false;
  fText.reset();
  fBitmap.reset();
  return true;
}

TClipboard& Clipboard() {
  static TClipboard* clipboard = new TClipboard();
  return *clipboard;
}

// --- cursors --------------------------------------------------------------------------

void TScreenCursors::Register(int id, TCursorImage cursor) {
  for (auto& [i, c] : fCursors)
    if (i == id) {
      c = std::move(cursor);
      return;
    }
  fCursors.emplace_back(id, std::move(cursor));
}

bool TScreenCursors::IsKnown(int id) const {
  switch (id) {
    case crDefault:
    case crNone:
    case crArrow:
    case crCross:
    case crIBeam:
    case crSizeWE:
    case crHourGlass:
    case crDrag:
    case crNoDrop:
    case crHSplit:
    case crVSplit:
    case crMultiDrag:
    case crHandPoint:
      return true;
    default:
      return Find(id) != nullptr;
  }
}

const TCursorImage* TScreenCursors::Find(int id) const {
  for (const auto& [i, c] : fCursors)
    if (i == id) return &c;
  return nullptr;
}

void TScreenCursors::SetWindowCursor(WindowHandle window, int id) {
  if (id == crDefault) {
    std::erase_if(fWindowCursors, [window](const auto& e) { return e.first == window; });
    return;
  }
  for (auto& [w, c] : fWindowCursors)
    if (w == window) {
      c = id;
      return;
    }
  fWindowCursors.emplace_back(window, id);
}

int TScreenCursors::WindowCursor(WindowHandle window) const {
  for (const auto& [w, c] : fWindowCursors)
    if (w == window) return c;
  return crDefault;
}

int TScreenCursors::CurrentCursor(const TDesktop& desktop) const {
  if (fScreenCursor != crDefault) return fScreenCursor;
  const WindowHandle under =
      desktop.GetCapture() ? desktop.GetCapture() : desktop.WindowFromPoint(desktop.CursorPos());
  return under && desktop.IsWindow(under) ? WindowCursor(under) : crDefault;
}

TScreenCursors& ScreenCursors() {
  static TScreenCursors* cursors = new TScreenCursors();
  return *cursors;
}

TCursorImage LoadCursorResource(std::string_view resourceName) {
  for (const ResourceName& r : ListResources()) {
    if (!SameTextAscii(r.name, resourceName)) continue;
    const auto bytes = FindResource(r.module, r.name);
    if (!bytes) break;
    TCursorImage cursor;
    cursor.Image = std::shared_ptr<TPixelImage>(TPixelImage::DecodePNG(*bytes));
    if (cursor.Image->Width() == 0 || cursor.Image->Height() == 0)
      throw ECanvasError("Cursor resource " + std::string(resourceName) + " has no pixels");
    cursor.TransparentColor = cursor.Image->Pixel(0, 0);
    cursor.HotSpot = {cursor.Image->Width() / 2, cursor.Image->Height() / 2};
    return cursor;
  }
  throw ECanvasError("Cursor resource " + std::string(resourceName) + " not found");
}

// --- drag threshold ----------------------------------------------------------------------

void TDragTracker::Begin(const TDesktop& desktop, TPoint screenStart, bool immediate,
                         int threshold) {
  fActive = true;
  fStarted = immediate;
  fStart = screenStart;
  fThresholdX = threshold >= 0 ? threshold : desktop.GetSystemMetric(SM_CXDRAG);
  fThresholdY = threshold >= 0 ? threshold : desktop.GetSystemMetric(SM_CYDRAG);
}

bool TDragTracker::Move(TPoint screen) {
  if (!fActive) return false;
  if (!fStarted &&
      (std::abs(screen.X - fStart.X) > fThresholdX || std::abs(screen.Y - fStart.Y) > fThresholdY))
    fStarted = true;
  return fStarted;
}

bool TDragTracker::End() {
  const bool started = fActive && fStarted;
  fActive = false;
  fStarted = false;
  return started;
}

// --- monitors ---------------------------------------------------------------------------

namespace {

std::int64_t DistanceSquared(const TRect& r, TPoint p) {
  const std::int64_t dx = p.X < r.Left ? r.Left - p.X : p.X >= r.Right ? p.X - (r.Right - 1) : 0;
  const std::int64_t dy = p.Y < r.Top ? r.Top - p.Y : p.Y >= r.Bottom ? p.Y - (r.Bottom - 1) : 0;
  return dx * dx + dy * dy;
}

}  // namespace

const TMonitorInfo& MonitorFromPoint(const TDesktop& desktop, TPoint screen) {
  const auto& monitors = desktop.Monitors();
  const TMonitorInfo* best = &monitors.front();
  std::int64_t bestDistance = INT64_MAX;
  for (const TMonitorInfo& m : monitors) {
    const std::int64_t d = DistanceSquared(m.Bounds, screen);
    if (d < bestDistance) {
      bestDistance = d;
      best = &m;
    }
  }
  return *best;
}

const TMonitorInfo& MonitorFromRect(const TDesktop& desktop, const TRect& rect) {
  const TMonitorInfo* best = nullptr;
  std::int64_t bestArea = 0;
  for (const TMonitorInfo& m : desktop.Monitors()) {
    const TRect common = Intersection(m.Bounds, rect);
    const std::int64_t area = std::int64_t{common.Width()} * common.Height();
    if (!common.IsEmpty() && area > bestArea) {
      bestArea = area;
      best = &m;
    }
  }
  if (best) return *best;
  return MonitorFromPoint(desktop, {rect.Left + rect.Width() / 2, rect.Top + rect.Height() / 2});
}

const TMonitorInfo& MonitorFromWindow(const TDesktop& desktop, WindowHandle window) {
  if (!desktop.IsWindow(window)) return desktop.Monitors().front();
  return MonitorFromRect(desktop, desktop.GetWindowRect(window));
}

// --- locale --------------------------------------------------------------------------------

TLocaleSeparators LocaleSeparators(std::string_view localeName) {
  std::string name(localeName);
  if (name.empty()) {
    for (const char* var : {"LC_ALL", "LC_NUMERIC", "LANG"}) {
      const char* v = std::getenv(var);
      if (v && *v) {
        name = v;
        break;
      }
    }
  }
  if (const auto dot = name.find_first_of(".@"); dot != std::string::npos) name.resize(dot);
  if (name.empty() || name == "C" || name == "POSIX") name = "en_US";

  TLocaleSeparators out;
  UErrorCode status = U_ZERO_ERROR;
  const icu::Locale locale(name.c_str());
  const icu::DecimalFormatSymbols symbols(locale, status);
  if (U_SUCCESS(status)) {
    std::string decimal, thousand;
    symbols.getSymbol(icu::DecimalFormatSymbols::kDecimalSeparatorSymbol).toUTF8String(decimal);
    symbols.getSymbol(icu::DecimalFormatSymbols::kGroupingSeparatorSymbol).toUTF8String(thousand);
    if (!decimal.empty()) out.Decimal = decimal;
    if (!thousand.empty()) out.Thousand = thousand;
  }
  out.List = out.Decimal == "," ? ";" : ",";

  const FormatSettings settings = FormatSettingsForLocale(name);
  out.Date = settings.dateSeparator;
  out.Time = settings.timeSeparator;
  const std::string& f = settings.shortDateFormat;
  const auto d = f.find_first_of("dD"), m = f.find_first_of("mM"), y = f.find_first_of("yY");
  if (y != std::string::npos && (d == std::string::npos || y < d) &&
      (m == std::string::npos || y < m)) {
    out.DateOrder = doYMD;
  } else if (d != std::string::npos && m != std::string::npos && d < m) {
    out.DateOrder = doDMY;
  } else {
    out.DateOrder = doMDY;
  }
  return out;
}

}  // namespace tarvo::platform
