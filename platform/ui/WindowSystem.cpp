#include "platform/ui/WindowSystem.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/core/Errors.h"
#include "platform/core/Text.h"

namespace tarvo::platform {

struct TDesktop::Win {
  WindowHandle handle = 0;
  WindowHandle parent = 0;
  std::vector<WindowHandle> children;  // z-order, bottom first
  TRect bounds;
  TRect insets;
  TWindowStyle style = 0;
  std::optional<TColor> colorKey;
  TColor background = clWindow;
  std::string caption;
  TWindowProc* proc = nullptr;
  // Shared so that a paint in progress keeps drawing on a live image even
  // when its handler resizes or destroys the window.
  std::shared_ptr<TPixelImage> image;
  TRegion invalid;
  bool erase = false;
  bool frameDirty = true;
  bool destroying = false;
  std::optional<TRegion> region;
  std::uint64_t generation = 0;

  int Width() const { return std::max(0, bounds.Width()); }
  int Height() const { return std::max(0, bounds.Height()); }
  TRect Client() const {
    return {0, 0, std::max(0, Width() - insets.Left - insets.Right),
            std::max(0, Height() - insets.Top - insets.Bottom)};
  }
};

namespace {

TDesktop* gCurrent = nullptr;

std::uint64_t SteadyMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

std::shared_ptr<TPixelImage> MakeImage(const TRect& bounds) {
  const int w = std::max(0, bounds.Width());
  const int h = std::max(0, bounds.Height());
  if (w > MaxImageSide || h > MaxImageSide)
    throw EWindowError("Window size " + std::to_string(w) + " x " + std::to_string(h) +
                       " is larger than a window can be");
  return std::make_shared<TPixelImage>(w, h);
}

// 0x00BBGGRR to the image's 0x00RRGGBB.
std::uint32_t ToPixel(TColor c) {
  c = ColorToRGB(c);
  return ((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF);
}

int DefaultMetric(int index) {
  switch (index) {
    case SM_CXVSCROLL:
    case SM_CYHSCROLL:
    case SM_CYVTHUMB:
    case SM_CXHTHUMB:
    case SM_CYVSCROLL:
    case SM_CXHSCROLL:
      return 17;
    case SM_CXBORDER:
    case SM_CYBORDER:
      return 1;
    case SM_CXCURSOR:
    case SM_CYCURSOR:
      return 32;
    case SM_CXDOUBLECLK:
    case SM_CYDOUBLECLK:
    case SM_CXDRAG:
    case SM_CYDRAG:
      return 4;
    case SM_CXEDGE:
    case SM_CYEDGE:
      return 2;
    case SM_CXMENUCHECK:
    case SM_CYMENUCHECK:
      return 13;
    default:
      return 0;
  }
}

// Calls every hook of a list that is still registered when its turn comes.
// The pass works from the ids the list held when it began: a hook removed by
// an earlier one would otherwise still run (and its owner may be gone), and
// one added during the pass waits for the next. Each call holds its own
// reference, so a hook that removes itself finishes its call safely.
template <class List, class... Args>
void RunHooks(const List& hooks, const Args&... args) {
  std::vector<int> ids;
  ids.reserve(hooks.size());
  for (const auto& entry : hooks) ids.push_back(entry.first);
  for (const int id : ids) {
    const auto it = std::find_if(hooks.begin(), hooks.end(),
                                 [id](const auto& entry) { return entry.first == id; });
    if (it == hooks.end()) continue;  // removed by an earlier hook of this pass
    const auto hook = it->second;
    (*hook)(args...);
  }
}

TMonitorInfo DefaultMonitor(int width, int height) {
  const TRect screen{0, 0, width, height};
  return {screen, {0, 0, width, std::max(0, height - 40)}, true};
}

}  // namespace

// --- construction ------------------------------------------------------------

TDesktop::TDesktop() : TDesktop(Options{}) {}

TDesktop::TDesktop(const Options& options)
    : fQueue(options.Queue ? options.Queue : &MessageQueue::UI()),
      fScreenWidth(std::clamp(options.ScreenWidth, 1, MaxImageSide)),
      fScreenHeight(std::clamp(options.ScreenHeight, 1, MaxImageSide)),
      fVirtual(options.VirtualTime),
      fRealStart(SteadyMs()) {
  fMonitors = {DefaultMonitor(fScreenWidth, fScreenHeight)};
}

TDesktop::~TDesktop() {
  if (gCurrent == this) gCurrent = nullptr;
  // Children go with their top-level windows; destroy top-most first.
  while (!fTopLevels.empty()) {
    try {
      DestroyTree(fTopLevels.back());
    } catch (...) {
      // A destruction handler failed; the window is gone anyway.
    }
  }
  for (auto& [handle, win] : fWindows) fQueue->Unregister(handle);
}

TDesktop& TDesktop::Current() {
  if (gCurrent) return *gCurrent;
  // The default desktop lives as long as the process: controls of any library
  // may still refer to it while static objects are destroyed.
  static TDesktop* fallback = new TDesktop();
  return *fallback;
}

TDesktop* TDesktop::SetCurrent(TDesktop* desktop) {
  TDesktop* previous = gCurrent;
  gCurrent = desktop;
  return previous;
}

TRect TDesktop::ScreenRect() const noexcept {
  return {0, 0, fScreenWidth, fScreenHeight};
}

void TDesktop::SetScreenSize(int width, int height) {
  if (width < 1 || height < 1 || width > MaxImageSide || height > MaxImageSide)
    throw EWindowError("Screen size out of range");
  const bool defaultMonitor =
      fMonitors.size() == 1 && fMonitors[0] == DefaultMonitor(fScreenWidth, fScreenHeight);
  fScreenWidth = width;
  fScreenHeight = height;
  if (defaultMonitor) fMonitors = {DefaultMonitor(width, height)};
  ++fGeneration;
}

void TDesktop::SetMonitors(std::vector<TMonitorInfo> monitors) {
  if (monitors.empty()) throw EWindowError("A desktop needs at least one monitor");
  for (TMonitorInfo& m : monitors) {
    if (m.Bounds.IsEmpty()) throw EWindowError("A monitor without area");
    m.WorkArea = Intersection(m.WorkArea, m.Bounds);
    m.Primary = false;
  }
  monitors.front().Primary = true;
  fMonitors = std::move(monitors);
}

void TDesktop::RequireUIThread() const {
  if (!fQueue->IsUIThread())
    throw std::logic_error("The desktop is used outside its user-interface thread");
}

TDesktop::Win* TDesktop::Find(WindowHandle window) const {
  const auto it = fWindows.find(window);
  return it == fWindows.end() ? nullptr : it->second.get();
}

TDesktop::Win* TDesktop::FindOrFail(WindowHandle window) const {
  Win* w = Find(window);
  if (!w || w->destroying) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  return w;
}

void TDesktop::Touch(const Win& w) {
  const Win* top = &w;
  while (top->parent) {
    const Win* p = Find(top->parent);
    if (!p) break;
    top = p;
  }
  const_cast<Win*>(top)->generation = ++fGeneration;
}

// --- windows -----------------------------------------------------------------

WindowHandle TDesktop::CreateWindow(const TCreateParams& params, TWindowProc* proc) {
  RequireUIThread();
  Win* parent = nullptr;
  if (params.Parent) {
    parent = FindOrFail(params.Parent);
    if (!parent) throw EWindowError("The parent is not a window of this desktop");
  }
  auto win = std::make_unique<Win>();
  win->parent = params.Parent;
  win->bounds = params.Bounds;
  win->insets = params.FrameInsets;
  win->style = params.Style;
  win->colorKey = params.ColorKey;
  win->background = params.Background;
  win->caption = params.Caption;
  win->proc = proc;
  win->image = MakeImage(params.Bounds);
  win->invalid = TRegion(win->Client());

  // The handler is found through the handle, which exists only once the
  // queue gave it: a shared cell carries it into the target's handler.
  auto cell = std::make_shared<WindowHandle>(0);
  const WindowHandle handle = fQueue->Register(
      [this, cell](std::uint32_t msg, std::uintptr_t w, std::intptr_t l) -> std::intptr_t {
        Win* target = Find(*cell);
        if (!target || target->destroying || !target->proc) return 0;
        return target->proc->WindowMessage(*cell, msg, w, l);
      });
  *cell = handle;
  win->handle = handle;
  Win* raw = win.get();
  fWindows.emplace(handle, std::move(win));
  if (parent) {
    parent->children.push_back(handle);
  } else if (raw->style & wsTopmost) {
    fTopLevels.push_back(handle);
  } else {
    const auto firstTopmost =
        std::find_if(fTopLevels.begin(), fTopLevels.end(), [this](WindowHandle h) {
          const Win* t = Find(h);
          return t && (t->style & wsTopmost);
        });
    fTopLevels.insert(firstTopmost, handle);
  }
  Touch(*raw);
  return handle;
}

bool TDesktop::DestroyWindow(WindowHandle window) {
  RequireUIThread();
  Win* w = Find(window);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  if (w->destroying) return true;
  DestroyTree(window);
  return true;
}

void TDesktop::DestroyTree(WindowHandle window) {
  Win* w = Find(window);
  if (!w || w->destroying) return;
  w->destroying = true;
  const std::vector<WindowHandle> children = w->children;
  for (auto it = children.rbegin(); it != children.rend(); ++it) DestroyTree(*it);

  w = Find(window);
  TWindowProc* proc = w->proc;
  if (fCapture == window) {
    fCapture = 0;
    if (proc) proc->WindowCaptureLost(window, 0);
  }
  if (fFocus == window) {
    fFocus = 0;
    if (proc) proc->WindowFocusChanged(window, false, 0);
  }
  if (fHover == window) fHover = 0;
  if (fActive == window) fActive = 0;
  if (fLastDownWindow == window) fLastDownWindow = 0;
  std::erase_if(fTimers, [window](const Timer& t) { return t.window == window; });
  if (proc) proc->WindowDestroyed(window);

  w = Find(window);
  Touch(*w);
  if (Win* parent = Find(w->parent)) {
    std::erase(parent->children, window);
  } else {
    std::erase(fTopLevels, window);
  }
  fQueue->Unregister(window);  // pending messages are dropped with the window
  fWindows.erase(window);
}

bool TDesktop::IsWindow(WindowHandle window) const {
  const Win* w = Find(window);
  return w && !w->destroying;
}

WindowHandle TDesktop::GetParent(WindowHandle window) const {
  const Win* w = FindOrFail(window);
  return w ? w->parent : 0;
}

std::vector<WindowHandle> TDesktop::GetChildren(WindowHandle window) const {
  const Win* w = FindOrFail(window);
  return w ? w->children : std::vector<WindowHandle>{};
}

std::vector<WindowHandle> TDesktop::TopLevelWindows() const {
  return fTopLevels;
}

WindowHandle TDesktop::GetTopLevel(WindowHandle window) const {
  const Win* w = FindOrFail(window);
  if (!w) return 0;
  while (w->parent) {
    const Win* p = Find(w->parent);
    if (!p) break;
    w = p;
  }
  return w->handle;
}

bool TDesktop::IsChild(WindowHandle parent, WindowHandle window) const {
  const Win* w = Find(window);
  while (w && w->parent) {
    if (w->parent == parent) return true;
    w = Find(w->parent);
  }
  return false;
}

TWindowStyle TDesktop::GetStyle(WindowHandle window) const {
  const Win* w = FindOrFail(window);
  return w ? w->style : 0;
}

std::string TDesktop::GetCaption(WindowHandle window) const {
  const Win* w = FindOrFail(window);
  return w ? w->caption : std::string();
}

bool TDesktop::SetCaption(WindowHandle window, std::string_view caption) {
  Win* w = FindOrFail(window);
  if (!w) return false;
  w->caption = caption;
  Touch(*w);
  return true;
}

TRect TDesktop::GetBounds(WindowHandle window) const {
  const Win* w = FindOrFail(window);
  return w ? w->bounds : TRect{};
}

bool TDesktop::SetBounds(WindowHandle window, const TRect& bounds) {
  RequireUIThread();
  Win* w = FindOrFail(window);
  if (!w) return false;
  if (w->bounds == bounds) return true;
  const bool resized = bounds.Width() != w->bounds.Width() || bounds.Height() != w->bounds.Height();
  if (resized) {
    auto image = MakeImage(bounds);
    TCanvas canvas(*image);
    canvas.BitBlt(0, 0, w->image->Width(), w->image->Height(), TCanvas(*w->image), 0, 0);
    w->image = std::move(image);
  }
  w->bounds = bounds;
  Touch(*w);
  if (resized) {
    w->frameDirty = true;
    w->invalid = TRegion(w->Client());
    if (w->proc) w->proc->WindowResized(window);
  }
  return true;
}

bool TDesktop::SetFrameInsets(WindowHandle window, const TRect& insets) {
  Win* w = FindOrFail(window);
  if (!w) return false;
  if (w->insets == insets) return true;
  w->insets = insets;
  w->frameDirty = true;
  w->invalid = TRegion(w->Client());
  Touch(*w);
  if (w->proc) w->proc->WindowResized(window);
  return true;
}

TRect TDesktop::GetFrameInsets(WindowHandle window) const {
  const Win* w = FindOrFail(window);
  return w ? w->insets : TRect{};
}

TRect TDesktop::GetClientRect(WindowHandle window) const {
  const Win* w = FindOrFail(window);
  return w ? w->Client() : TRect{};
}

TPoint TDesktop::ClientOrigin(const Win& w) const {
  TPoint p{w.bounds.Left + w.insets.Left, w.bounds.Top + w.insets.Top};
  if (const Win* parent = Find(w.parent)) {
    const TPoint o = ClientOrigin(*parent);
    p.X += o.X;
    p.Y += o.Y;
  }
  return p;
}

TRect TDesktop::GetWindowRect(WindowHandle window) const {
  const Win* w = FindOrFail(window);
  if (!w) return {};
  const TPoint o = ClientOrigin(*w);
  const TRect r{o.X - w->insets.Left, o.Y - w->insets.Top, 0, 0};
  return {r.Left, r.Top, r.Left + w->Width(), r.Top + w->Height()};
}

TPoint TDesktop::ClientToScreen(WindowHandle window, TPoint p) const {
  const Win* w = FindOrFail(window);
  if (!w) return p;
  const TPoint o = ClientOrigin(*w);
  return {SaturateInt(std::int64_t{p.X} + o.X), SaturateInt(std::int64_t{p.Y} + o.Y)};
}

TPoint TDesktop::ScreenToClient(WindowHandle window, TPoint p) const {
  const Win* w = FindOrFail(window);
  if (!w) return p;
  const TPoint o = ClientOrigin(*w);
  return {SaturateInt(std::int64_t{p.X} - o.X), SaturateInt(std::int64_t{p.Y} - o.Y)};
}

bool TDesktop::ShowWindow(WindowHandle window, bool visible) {
  RequireUIThread();
  Win* w = FindOrFail(window);
  if (!w) return false;
  const bool was = (w->style & wsVisible) != 0;
  if (was == visible) return true;
  if (visible) {
    w->style |= wsVisible;
    // A window that comes into view shows what it is now, not what it was.
    w->invalid = TRegion(w->Client());
    w->frameDirty = true;
  } else {
    w->style &= ~wsVisible;
    if (fCapture == window || IsChild(window, fCapture)) ReleaseCapture();
    if (fFocus == window || IsChild(window, fFocus)) SetFocus(0);
  }
  Touch(*w);
  if (w->proc) w->proc->WindowShown(window, visible);
  return true;
}

bool TDesktop::IsWindowVisible(WindowHandle window) const {
  const Win* w = FindOrFail(window);
  while (w) {
    if (!(w->style & wsVisible)) return false;
    if (!w->parent) return true;
    w = Find(w->parent);
  }
  return false;
}

bool TDesktop::EnableWindow(WindowHandle window, bool enabled) {
  Win* w = FindOrFail(window);
  if (!w) return false;
  if (enabled) {
    w->style &= ~wsDisabled;
  } else {
    w->style |= wsDisabled;
    if (fFocus == window || IsChild(window, fFocus)) SetFocus(0);
    if (fCapture == window || IsChild(window, fCapture)) ReleaseCapture();
  }
  return true;
}

bool TDesktop::IsWindowEnabled(WindowHandle window) const {
  const Win* w = FindOrFail(window);
  while (w) {
    if (w->style & wsDisabled) return false;
    if (!w->parent) return true;
    w = Find(w->parent);
  }
  return false;
}

bool TDesktop::BringToFront(WindowHandle window) {
  Win* w = FindOrFail(window);
  if (!w) return false;
  if (Win* parent = Find(w->parent)) {
    std::erase(parent->children, window);
    parent->children.push_back(window);
  } else {
    std::erase(fTopLevels, window);
    if (w->style & wsTopmost) {
      fTopLevels.push_back(window);
    } else {
      const auto firstTopmost =
          std::find_if(fTopLevels.begin(), fTopLevels.end(), [this](WindowHandle h) {
            const Win* t = Find(h);
            return t && (t->style & wsTopmost);
          });
      fTopLevels.insert(firstTopmost, window);
    }
  }
  Touch(*w);
  return true;
}

bool TDesktop::SendToBack(WindowHandle window) {
  Win* w = FindOrFail(window);
  if (!w) return false;
  if (Win* parent = Find(w->parent)) {
    std::erase(parent->children, window);
    parent->children.insert(parent->children.begin(), window);
  } else {
    std::erase(fTopLevels, window);
    if (w->style & wsTopmost) {
      const auto firstTopmost =
          std::find_if(fTopLevels.begin(), fTopLevels.end(), [this](WindowHandle h) {
            const Win* t = Find(h);
            return t && (t->style & wsTopmost);
          });
      fTopLevels.insert(firstTopmost, window);
    } else {
      fTopLevels.insert(fTopLevels.begin(), window);
    }
  }
  Touch(*w);
  return true;
}

bool TDesktop::SetWindowRegion(WindowHandle window, std::optional<TRegion> region) {
  Win* w = FindOrFail(window);
  if (!w) return false;
  w->region = std::move(region);
  Touch(*w);
  return true;
}

WindowHandle TDesktop::HitTest(TPoint screen, bool /*forMouse*/) const {
  // Within a window (window coordinates p): its region and colour key let the
  // point through; otherwise the deepest visible child under it wins.
  std::function<WindowHandle(const Win&, TPoint)> descend = [&](const Win& w,
                                                                TPoint p) -> WindowHandle {
    if (p.X < 0 || p.Y < 0 || p.X >= w.Width() || p.Y >= w.Height()) return 0;
    if (w.region && !w.region->Contains(p)) return 0;
    if (w.colorKey) {
      const std::uint32_t px = w.image->Row(p.Y)[p.X] & 0xFFFFFF;
      if (px == ToPixel(*w.colorKey)) return 0;
    }
    const TPoint c{p.X - w.insets.Left, p.Y - w.insets.Top};
    if (w.Client().Contains(c)) {
      for (auto it = w.children.rbegin(); it != w.children.rend(); ++it) {
        const Win* child = Find(*it);
        if (!child || child->destroying || !(child->style & wsVisible)) continue;
        if (const WindowHandle hit =
                descend(*child, {c.X - child->bounds.Left, c.Y - child->bounds.Top}))
          return hit;
      }
    }
    return w.handle;
  };
  for (auto it = fTopLevels.rbegin(); it != fTopLevels.rend(); ++it) {
    const Win* top = Find(*it);
    if (!top || top->destroying || !(top->style & wsVisible)) continue;
    if (const WindowHandle hit =
            descend(*top, {screen.X - top->bounds.Left, screen.Y - top->bounds.Top}))
      return hit;
  }
  return 0;
}

WindowHandle TDesktop::WindowFromPoint(TPoint screen) const {
  return HitTest(screen, false);
}

// --- painting ----------------------------------------------------------------

bool TDesktop::InvalidateRect(WindowHandle window, const TRect* rect, bool erase) {
  Win* w = FindOrFail(window);
  if (!w) return false;
  const TRect r = rect ? Intersection(*rect, w->Client()) : w->Client();
  w->invalid.Union(r);
  w->erase = w->erase || erase;
  return true;
}

bool TDesktop::InvalidateRegion(WindowHandle window, const TRegion& region, bool erase) {
  Win* w = FindOrFail(window);
  if (!w) return false;
  TRegion r = region;
  r.Intersect(w->Client());
  w->invalid.Union(r);
  w->erase = w->erase || erase;
  return true;
}

bool TDesktop::ValidateRect(WindowHandle window, const TRect* rect) {
  Win* w = FindOrFail(window);
  if (!w) return false;
  if (rect) {
    w->invalid.Subtract(*rect);
  } else {
    w->invalid = TRegion();
  }
  if (w->invalid.IsEmpty()) w->erase = false;
  return true;
}

TRegion TDesktop::GetUpdateRegion(WindowHandle window) const {
  const Win* w = FindOrFail(window);
  return w ? w->invalid : TRegion();
}

void TDesktop::PaintOne(WindowHandle window) {
  Win* w = Find(window);
  if (!w || w->destroying) return;
  TWindowProc* proc = w->proc;
  std::shared_ptr<TPixelImage> image = w->image;
  const TRect client = w->Client();
  const TPoint org{w->insets.Left, w->insets.Top};

  if (w->frameDirty) {
    w->frameDirty = false;
    if (proc && (w->insets.Left || w->insets.Top || w->insets.Right || w->insets.Bottom)) {
      TCanvas canvas(*image);
      TRegion frame(image->Bounds());
      frame.Subtract(client.Offset(org.X, org.Y));
      canvas.SelectClipRgn(&frame);
      proc->WindowPaintFrame(window, canvas);
    }
    w = Find(window);
    if (!w || w->destroying) return;
  }

  TRegion region = w->invalid;
  region.Intersect(client);
  const bool erase = w->erase;
  w->invalid = TRegion();
  w->erase = false;
  if (!region.IsEmpty()) {
    TCanvas canvas(*image);
    canvas.SetViewportOrg(org);
    TRegion device = region;
    device.Offset(org.X, org.Y);
    canvas.SelectClipRgn(&device);
    if (erase && !(proc && proc->WindowEraseBackground(window, canvas, region))) {
      w = Find(window);
      if (w) {
        canvas.Brush() = TBrush{w->background, bsSolid};
        for (const TRect& r : region.Rects()) canvas.FillRect(r);
      }
    }
    if (proc && IsWindow(window)) proc->WindowPaint(window, canvas, region);
  }
  if (Win* after = Find(window)) Touch(*after);
}

bool TDesktop::UpdateWindow(WindowHandle window) {
  RequireUIThread();
  Win* w = FindOrFail(window);
  if (!w) return false;
  if (IsWindowVisible(window) && (w->frameDirty || !w->invalid.IsEmpty())) PaintOne(window);
  return true;
}

int TDesktop::ProcessPaint() {
  RequireUIThread();
  std::vector<WindowHandle> order;
  std::function<void(WindowHandle)> walk = [&](WindowHandle h) {
    const Win* w = Find(h);
    if (!w || !(w->style & wsVisible)) return;
    order.push_back(h);
    for (WindowHandle c : w->children) walk(c);
  };
  for (WindowHandle top : fTopLevels) walk(top);
  int painted = 0;
  for (WindowHandle h : order) {
    const Win* w = Find(h);
    if (!w || w->destroying || !IsWindowVisible(h)) continue;
    if (!w->frameDirty && w->invalid.IsEmpty()) continue;
    PaintOne(h);
    ++painted;
  }
  return painted;
}

bool TDesktop::ScrollWindow(WindowHandle window, int dx, int dy, const TRect* scroll,
                            const TRect* clip) {
  RequireUIThread();
  Win* w = FindOrFail(window);
  if (!w) return false;
  const TRect client = w->Client();
  const TRect clipRect = clip ? Intersection(*clip, client) : client;
  const TRect source = Intersection(scroll ? Intersection(*scroll, client) : client, clipRect);
  if ((dx == 0 && dy == 0) || source.IsEmpty()) return true;
  const TRect dest = Intersection(source.Offset(dx, dy), clipRect);
  if (!dest.IsEmpty()) {
    TCanvas canvas(*w->image);
    canvas.SetViewportOrg({w->insets.Left, w->insets.Top});
    canvas.BitBlt(dest.Left, dest.Top, dest.Width(), dest.Height(), canvas, dest.Left - dx,
                  dest.Top - dy);
  }
  // Pending invalid pixels inside the moved area travel with it; what lies
  // under the moved pixels is valid now; what they left behind is invalid.
  TRegion moving = w->invalid;
  moving.Intersect(source);
  moving.Offset(dx, dy);
  moving.Intersect(clipRect);
  TRegion rest = w->invalid;
  rest.Subtract(source);
  rest.Subtract(dest);
  TRegion uncovered(source);
  uncovered.Subtract(dest);
  rest.Union(moving);
  rest.Union(uncovered);
  w->invalid = std::move(rest);
  Touch(*w);
  return true;
}

TPixelImage* TDesktop::WindowImage(WindowHandle window) {
  Win* w = FindOrFail(window);
  return w ? w->image.get() : nullptr;
}

void TDesktop::WindowImageChanged(WindowHandle window) {
  if (Win* w = FindOrFail(window)) Touch(*w);
}

bool TDesktop::DrawOn(WindowHandle window, const std::function<void(TCanvas&)>& draw) {
  RequireUIThread();
  Win* w = FindOrFail(window);
  if (!w) return false;
  std::shared_ptr<TPixelImage> image = w->image;
  const TPoint org{w->insets.Left, w->insets.Top};
  TCanvas canvas(*image);
  canvas.SetViewportOrg(org);
  TRegion clip(w->Client().Offset(org.X, org.Y));
  canvas.SelectClipRgn(&clip);
  draw(canvas);
  if (Win* after = Find(window)) Touch(*after);
  return true;
}

void TDesktop::ComposeInto(TPixelImage& target, const Win& w, TPoint origin,
                           const TRect& clip) const {
  const TRect area = Intersection(
      Intersection({origin.X, origin.Y, origin.X + w.Width(), origin.Y + w.Height()}, clip),
      target.Bounds());
  const bool keyed = w.colorKey.has_value();
  const std::uint32_t key = keyed ? ToPixel(*w.colorKey) : 0;
  for (int y = area.Top; y < area.Bottom; ++y) {
    const std::uint32_t* src = w.image->Row(y - origin.Y);
    std::uint32_t* dst = target.Row(y);
    for (int x = area.Left; x < area.Right; ++x) {
      const int sx = x - origin.X;
      if (w.region && !w.region->Contains({sx, y - origin.Y})) continue;
      const std::uint32_t px = src[sx] & 0xFFFFFF;
      if (keyed && px == key) continue;
      dst[x] = px;
    }
  }
  const TPoint clientOrg{origin.X + w.insets.Left, origin.Y + w.insets.Top};
  const TRect childClip = Intersection(clip, w.Client().Offset(clientOrg.X, clientOrg.Y));
  for (WindowHandle c : w.children) {
    const Win* child = Find(c);
    if (!child || child->destroying || !(child->style & wsVisible)) continue;
    ComposeInto(target, *child, {clientOrg.X + child->bounds.Left, clientOrg.Y + child->bounds.Top},
                childClip);
  }
}

std::unique_ptr<TPixelImage> TDesktop::Screenshot() const {
  auto screen = std::make_unique<TPixelImage>(fScreenWidth, fScreenHeight);
  const std::uint32_t bg = ToPixel(clBackground);
  for (int y = 0; y < fScreenHeight; ++y) std::fill_n(screen->Row(y), fScreenWidth, bg);
  for (WindowHandle h : fTopLevels) {
    const Win* w = Find(h);
    if (!w || w->destroying || !(w->style & wsVisible)) continue;
    ComposeInto(*screen, *w, {w->bounds.Left, w->bounds.Top}, screen->Bounds());
  }
  screen->Changed();
  return screen;
}

std::unique_ptr<TPixelImage> TDesktop::ComposeWindow(WindowHandle window) const {
  const Win* w = FindOrFail(window);
  if (!w) return nullptr;
  auto image = std::make_unique<TPixelImage>(w->Width(), w->Height());
  ComposeInto(*image, *w, {0, 0}, image->Bounds());
  image->Changed();
  return image;
}

std::uint64_t TDesktop::Generation(WindowHandle topLevel) const {
  const Win* w = Find(topLevel);
  return w ? w->generation : 0;
}

// --- input -------------------------------------------------------------------

void TDesktop::UpdateHover(WindowHandle target) {
  if (target == fHover) return;
  const WindowHandle old = fHover;
  fHover = target;
  if (const Win* w = Find(old); w && w->proc && !w->destroying) w->proc->WindowMouseLeave(old);
  if (fHover != target) return;  // the leave handler moved things on
  if (const Win* w = Find(target); w && w->proc && !w->destroying)
    w->proc->WindowMouseEnter(target);
}

void TDesktop::ActivateTopLevel(WindowHandle topLevel) {
  if (topLevel == fActive) return;
  const WindowHandle old = fActive;
  fActive = topLevel;
  if (const Win* w = Find(old); w && w->proc && !w->destroying)
    w->proc->WindowActivated(old, false);
  if (const Win* w = Find(topLevel); w && w->proc && !w->destroying && fActive == topLevel)
    w->proc->WindowActivated(topLevel, true);
}

int TDesktop::AddInputHook(std::function<void(const TInputEvent&)> hook) {
  const int id = fNextHookId++;
  fInputHooks.emplace_back(
      id, std::make_shared<std::function<void(const TInputEvent&)>>(std::move(hook)));
  return id;
}

void TDesktop::RemoveInputHook(int id) {
  std::erase_if(fInputHooks, [id](const auto& h) { return h.first == id; });
}

void TDesktop::RunInputHooks(const TInputEvent& event) {
  RunHooks(fInputHooks, event);
}

void TDesktop::DeliverMouse(int kind, TPoint screen, TMouseButton button, TShiftState shift) {
  RequireUIThread();
  enum { kMove, kDown, kUp };
  RunInputHooks({kind == kMove   ? TInputEvent::ieMouseMove
                 : kind == kDown ? TInputEvent::ieMouseDown
                                 : TInputEvent::ieMouseUp,
                 screen, static_cast<TVirtualKey>(button), shift});
  fCursorPos = screen;
  const TShiftState bit = button == mbLeft ? ssLeft : button == mbRight ? ssRight : ssMiddle;
  if (kind == kDown) fButtons |= bit;
  if (kind == kUp) fButtons &= ~bit;
  shift = (shift & (ssShift | ssAlt | ssCtrl)) | fButtons;

  WindowHandle target = fCapture ? fCapture : HitTest(screen, true);
  if (!fCapture) UpdateHover(target);
  if (!target || !IsWindow(target)) return;
  if (!fCapture && !IsWindowEnabled(target)) return;  // a disabled window swallows it

  if (kind == kDown) {
    if (fFocus && fFocus != target) {
      SendCancelMode(fFocus, target);
      if (!IsWindow(target)) return;
    }
    const WindowHandle top = GetTopLevel(target);
    const Win* topWin = Find(top);
    if (topWin && !(topWin->style & wsNoActivate)) {
      if (top != fActive) {
        ActivateTopLevel(top);
        BringToFront(top);
      }
      if (fFocus != top && !IsChild(top, fFocus) && IsWindow(top)) SetFocus(top);
      if (!IsWindow(target)) return;
    }
    const Win* w = Find(target);
    const std::uint64_t now = NowMs();
    const int cx = GetSystemMetric(SM_CXDOUBLECLK) / 2;
    const int cy = GetSystemMetric(SM_CYDOUBLECLK) / 2;
    const bool isDouble =
        (w->style & wsDblClicks) && !fLastDownWasDouble && fLastDownWindow == target &&
        fLastDownButton == button && now - fLastDownTime <= fDoubleClickTime &&
        std::abs(screen.X - fLastDownPos.X) <= cx && std::abs(screen.Y - fLastDownPos.Y) <= cy;
    if (isDouble) shift |= ssDouble;
    fLastDownWasDouble = isDouble;
    fLastDownWindow = target;
    fLastDownButton = button;
    fLastDownTime = now;
    fLastDownPos = screen;
  }

  const Win* w = Find(target);
  if (!w || !w->proc) return;
  const TPoint p = ScreenToClient(target, screen);
  switch (kind) {
    case kMove:
      w->proc->WindowMouseMove(target, shift, p);
      break;
    case kDown:
      w->proc->WindowMouseDown(target, button, shift, p);
      break;
    default:
      w->proc->WindowMouseUp(target, button, shift, p);
      break;
  }
}

void TDesktop::MouseMove(TPoint screen, TShiftState shift) {
  DeliverMouse(0, screen, mbLeft, shift);
}

void TDesktop::MouseDown(TPoint screen, TMouseButton button, TShiftState shift) {
  DeliverMouse(1, screen, button, shift);
}

void TDesktop::MouseUp(TPoint screen, TMouseButton button, TShiftState shift) {
  DeliverMouse(2, screen, button, shift);
}

void TDesktop::MouseWheel(TPoint screen, int delta, TShiftState shift) {
  RequireUIThread();
  RunInputHooks({TInputEvent::ieMouseWheel, screen, 0, shift});
  fCursorPos = screen;
  shift = (shift & (ssShift | ssAlt | ssCtrl)) | fButtons;
  WindowHandle target = fCapture ? fCapture : HitTest(screen, true);
  if (!target || (!fCapture && !IsWindowEnabled(target))) return;
  while (target) {
    const Win* w = Find(target);
    if (!w || w->destroying) return;
    const WindowHandle parent = w->parent;
    if (w->proc && w->proc->WindowMouseWheel(target, delta, shift, screen)) return;
    target = parent;
  }
}

void TDesktop::KeyDown(TVirtualKey key, TShiftState shift) {
  RequireUIThread();
  RunInputHooks({TInputEvent::ieKeyDown, fCursorPos, key, shift});
  const WindowHandle target = fFocus ? fFocus : fActive;
  if (const Win* w = Find(target); w && w->proc && !w->destroying)
    w->proc->WindowKeyDown(target, key, shift);
}

void TDesktop::KeyUp(TVirtualKey key, TShiftState shift) {
  RequireUIThread();
  RunInputHooks({TInputEvent::ieKeyUp, fCursorPos, key, shift});
  const WindowHandle target = fFocus ? fFocus : fActive;
  if (const Win* w = Find(target); w && w->proc && !w->destroying)
    w->proc->WindowKeyUp(target, key, shift);
}

void TDesktop::Chars(std::string_view utf8) {
  RequireUIThread();
  for (char32_t cp : ToCodePoints(utf8)) {
    RunInputHooks({TInputEvent::ieChar, fCursorPos, 0, 0, cp});
    const WindowHandle target = fFocus ? fFocus : fActive;
    if (const Win* w = Find(target); w && w->proc && !w->destroying)
      w->proc->WindowChar(target, cp);
  }
}

bool TDesktop::SendCancelMode(WindowHandle window, WindowHandle sender) {
  const Win* w = FindOrFail(window);
  if (!w) return false;
  if (w->proc) w->proc->WindowCancelMode(window, sender);
  return true;
}

std::uint32_t TDesktop::QueryDialogCode(WindowHandle window, TVirtualKey key) {
  const Win* w = FindOrFail(window);
  return w && w->proc ? w->proc->WindowDialogCode(window, key) : 0;
}

WindowHandle TDesktop::SetCapture(WindowHandle window) {
  RequireUIThread();
  const WindowHandle old = fCapture;
  if (window && !FindOrFail(window)) return old;
  if (window == old) return old;
  fCapture = window;
  if (const Win* w = Find(old); w && w->proc && !w->destroying)
    w->proc->WindowCaptureLost(old, window);
  return old;
}

bool TDesktop::ReleaseCapture() {
  RequireUIThread();
  if (!fCapture) return true;
  SetCapture(0);
  // The mouse may be over another window by now: it hears about it at once.
  if (!fCapture && fCursorPos.X >= 0) UpdateHover(HitTest(fCursorPos, true));
  return true;
}

WindowHandle TDesktop::SetFocus(WindowHandle window) {
  RequireUIThread();
  const WindowHandle old = fFocus;
  if (window) {
    if (!FindOrFail(window) || !IsWindowVisible(window) || !IsWindowEnabled(window)) return 0;
    if (window == old) return old;
    const WindowHandle top = GetTopLevel(window);
    const Win* topWin = Find(top);
    if (topWin && !(topWin->style & wsNoActivate)) ActivateTopLevel(top);
  } else if (!old) {
    return 0;
  }
  fFocus = window;
  if (const Win* w = Find(old); w && w->proc && !w->destroying)
    w->proc->WindowFocusChanged(old, false, window);
  if (fFocus == window && window) {
    if (const Win* w = Find(window); w && w->proc) w->proc->WindowFocusChanged(window, true, old);
  }
  return old;
}

bool TDesktop::SetActiveWindow(WindowHandle window) {
  const WindowHandle top = GetTopLevel(window);
  if (!top) return false;
  ActivateTopLevel(top);
  if (fFocus != top && !IsChild(top, fFocus)) SetFocus(top);
  return true;
}

// --- time ----------------------------------------------------------------------

std::uint64_t TDesktop::NowMs() const {
  return fVirtual ? fVirtualNow : SteadyMs() - fRealStart;
}

void TDesktop::FireTimer(WindowHandle window, std::uintptr_t id) {
  if (const Win* w = Find(window); w && w->proc && !w->destroying) w->proc->WindowTimer(window, id);
}

int TDesktop::AdvanceTime(std::uint64_t ms) {
  RequireUIThread();
  if (!fVirtual) throw std::logic_error("AdvanceTime needs a desktop with virtual time");
  const std::uint64_t end = fVirtualNow + ms;
  int fired = 0;
  for (;;) {
    auto next = fTimers.end();
    for (auto it = fTimers.begin(); it != fTimers.end(); ++it) {
      if (it->due > end) continue;
      if (next == fTimers.end() || it->due < next->due ||
          (it->due == next->due && it->order < next->order))
        next = it;
    }
    if (next == fTimers.end()) break;
    fVirtualNow = next->due;
    next->due += next->interval;
    next->order = ++fTimerOrder;
    const WindowHandle window = next->window;
    const std::uintptr_t id = next->id;
    FireTimer(window, id);  // may set or kill timers: iterators are not kept
    ++fired;
  }
  fVirtualNow = end;
  return fired;
}

int TDesktop::ProcessTimers() {
  RequireUIThread();
  if (fVirtual) return 0;
  const std::uint64_t now = NowMs();
  std::vector<Timer> due;
  for (const Timer& t : fTimers)
    if (t.due <= now) due.push_back(t);
  std::sort(due.begin(), due.end(), [](const Timer& a, const Timer& b) {
    return a.due != b.due ? a.due < b.due : a.order < b.order;
  });
  int fired = 0;
  for (const Timer& d : due) {
    auto it = std::find_if(fTimers.begin(), fTimers.end(), [&](const Timer& t) {
      return t.window == d.window && t.id == d.id && t.order == d.order;
    });
    if (it == fTimers.end()) continue;  // killed or restarted by an earlier handler
    it->due = now + it->interval;       // late timers fire once, not once per lost period
    it->order = ++fTimerOrder;
    FireTimer(d.window, d.id);
    ++fired;
  }
  return fired;
}

bool TDesktop::SetTimer(WindowHandle window, std::uintptr_t id, std::uint32_t intervalMs) {
  RequireUIThread();
  if (intervalMs == 0) throw EWindowError("A timer needs an interval of at least 1 millisecond");
  if (!FindOrFail(window)) return false;
  std::erase_if(fTimers, [&](const Timer& t) { return t.window == window && t.id == id; });
  fTimers.push_back({window, id, intervalMs, NowMs() + intervalMs, ++fTimerOrder});
  return true;
}

bool TDesktop::KillTimer(WindowHandle window, std::uintptr_t id) {
  const auto n =
      std::erase_if(fTimers, [&](const Timer& t) { return t.window == window && t.id == id; });
  return n > 0;
}

std::optional<std::uint64_t> TDesktop::NextTimerDue() const {
  std::optional<std::uint64_t> best;
  const std::uint64_t now = NowMs();
  for (const Timer& t : fTimers) {
    const std::uint64_t wait = t.due > now ? t.due - now : 0;
    if (!best || wait < *best) best = wait;
  }
  return best;
}

// --- messages and pumps -------------------------------------------------------------

bool TDesktop::PostMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                           std::intptr_t lParam) {
  return fQueue->Post(window, message, wParam, lParam);
}

std::optional<std::intptr_t> TDesktop::SendMessage(WindowHandle window, std::uint32_t message,
                                                   std::uintptr_t wParam, std::intptr_t lParam) {
  return fQueue->Send(window, message, wParam, lParam);
}

int TDesktop::ProcessMessages() {
  RequireUIThread();
  int handled = static_cast<int>(fQueue->ProcessMessages());
  if (!fVirtual) handled += ProcessTimers();
  handled += ProcessPaint();
  RunIdleHooks();
  return handled;
}

bool TDesktop::RunUntil(const std::function<bool()>& done, std::uint32_t timeoutMs) {
  const std::uint64_t start = SteadyMs();
  for (;;) {
    if (done()) return true;
    if (SteadyMs() - start >= timeoutMs) return false;
    if (ProcessMessages() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

int TDesktop::AddIdleHook(std::function<void()> hook) {
  const int id = fNextHookId++;
  fIdleHooks.emplace_back(id, std::make_shared<std::function<void()>>(std::move(hook)));
  return id;
}

void TDesktop::RunIdleHooks() {
  RunHooks(fIdleHooks);
}

void TDesktop::RemoveIdleHook(int id) {
  std::erase_if(fIdleHooks, [id](const auto& h) { return h.first == id; });
}

// --- metrics -------------------------------------------------------------------------

int TDesktop::GetSystemMetric(int index) const {
  if (index == SM_CXSCREEN) return fScreenWidth;
  if (index == SM_CYSCREEN) return fScreenHeight;
  if (index == SM_CMONITORS) return static_cast<int>(fMonitors.size());
  for (const auto& [i, v] : fMetrics)
    if (i == index) return v;
  return DefaultMetric(index);
}

void TDesktop::SetSystemMetric(int index, int value) {
  for (auto& [i, v] : fMetrics)
    if (i == index) {
      v = value;
      return;
    }
  fMetrics.emplace_back(index, value);
}

}  // namespace tarvo::platform
