#include "host/tvControls.h"

#include <algorithm>
#include <map>
#include <utility>

namespace tarvo {

namespace {

using platform::TDesktop;
using platform::TRegion;

// The component font as the canvas's font.
void ApplyFont(TCanvas& canvas, const TTarvoFont& font) {
  platform::TFont& f = canvas.Font();
  f.Name = font.Name();
  f.Height = font.Height();
  f.Color = font.Color();
  platform::TFontStyles styles;
  styles.set(platform::fsBold, font.Style().Contains(fsBold));
  styles.set(platform::fsItalic, font.Style().Contains(fsItalic));
  styles.set(platform::fsUnderline, font.Style().Contains(fsUnderline));
  styles.set(platform::fsStrikeOut, font.Style().Contains(fsStrikeOut));
  f.Style = styles;
}

// Controls by window, so that a drag can name the control under the mouse.
// Keyed by desktop too: handles are numbered per desktop.
using TWindowKey = std::pair<const TDesktop*, WindowHandle>;
// Never destroyed: windows left at exit are destroyed with the default
// desktop, whose static may outlive any static of ours.
std::map<TWindowKey, TCustomBorderedControl*>& WindowControls() {
  static auto* const controls = new std::map<TWindowKey, TCustomBorderedControl*>;
  return *controls;
}

}  // namespace

// The control side of the process's drag session: maps windows to controls
// and turns the session's notices into the controls' drag calls.
class TCustomBorderedControl::DragClient final : public platform::IDragClient {
 public:
  static DragClient& Instance() {
    static auto* const client = new DragClient;  // never destroyed, like the session
    return *client;
  }

  TCustomBorderedControl* source = nullptr;  // while a session of a control runs
  TDesktop* desktop = nullptr;

  TCustomBorderedControl* ControlOf(WindowHandle window) const {
    const auto it = WindowControls().find({desktop, window});
    return it == WindowControls().end() || it->second->IsDestroying() ? nullptr : it->second;
  }

  // The control whose window is under the point; a disabled one (or one in
  // a disabled parent) takes no drop, as it takes no mouse input.
  WindowHandle DragTargetAt(TPoint screen) override {
    for (WindowHandle w = desktop->WindowFromPoint(screen); w; w = desktop->GetParent(w)) {
      if (!desktop->IsWindowEnabled(w)) return 0;
      if (ControlOf(w)) return w;
    }
    return 0;
  }
  void DragStarted() override {
    if (source) source->DoStartDrag();
  }
  bool DragOver(WindowHandle target, TPoint screen, TDragState state) override {
    TCustomBorderedControl* control = ControlOf(target);
    if (!control || !source) return false;
    const TPoint p = control->ScreenToClient(screen);
    bool accept = false;
    control->DragOver(source, p.X, p.Y, state, accept);
    return accept;
  }
  void DragDrop(WindowHandle target, TPoint screen) override {
    TCustomBorderedControl* control = ControlOf(target);
    if (!control || !source) return;
    const TPoint p = control->ScreenToClient(screen);
    control->DragDrop(source, p.X, p.Y);
  }
  void DragEnded(WindowHandle target, TPoint screen, bool started) override {
    // Cleared first: the end handler may begin the next drag.
    TCustomBorderedControl* const from = std::exchange(source, nullptr);
    if (!from || from->IsDestroying()) return;
    // A drag that never started had no target; its source still hears the
    // end (that is how a press handed to the drag comes back as a click).
    TCustomBorderedControl* const to = started && target ? ControlOf(target) : nullptr;
    const TPoint p = (to ? to : from)->ScreenToClient(screen);
    from->DoEndDrag(to, p.X, p.Y);
  }
};

// --- construction -----------------------------------------------------------------

TCustomBorderedControl::TCustomBorderedControl(TComponent* owner)
    : TComponent(owner), fDesktop(&TDesktop::Current()) {
  fFont.SetOnChange([this](TPersistent&) { FontChanged(); });
}

TCustomBorderedControl::~TCustomBorderedControl() = default;

void TCustomBorderedControl::BeforeDestruction() {
  // A source that goes ends its drag first, so that the target hears leave
  // while both still exist.
  if (DragClient::Instance().source == this) platform::DragSession().End(false);
  fHintWindow.reset();
  DestroyHandle();
  SetParent(nullptr);
  for (TCustomBorderedControl* child : fControls) child->fParent = nullptr;
  fControls.clear();
  if (fPopupMenu) RemoveFreeNotification(fPopupMenu);
  fPopupMenu = nullptr;
  TComponent::BeforeDestruction();
}

void TCustomBorderedControl::Notification(TPersistent* sender, TOperation operation) {
  TComponent::Notification(sender, operation);
  if (operation == opRemove && sender == fPopupMenu) fPopupMenu = nullptr;
}

// --- tree and window ---------------------------------------------------------------

void TCustomBorderedControl::SetParent(TCustomBorderedControl* parent) {
  if (parent == fParent) return;
  for (TCustomBorderedControl* p = parent; p; p = p->fParent)
    if (p == this) throw EComponentError("A control cannot be its own parent");
  if (parent && IsDestroying()) return;
  DestroyHandle();  // a window cannot change desktops' trees; it is made again
  if (fParent) {
    std::erase(fParent->fControls, this);
    if (fAlign != alNone) fParent->Realign();
  }
  fParent = parent;
  if (parent) {
    parent->fControls.push_back(this);
    if (parent->HandleAllocated()) CreateHandleNow();
    if (fAlign != alNone) parent->Realign();
  }
}

TCustomBorderedControl* TCustomBorderedControl::Controls(int index) const {
  if (index < 0 || index >= ControlCount()) throw EListError("Control index out of bounds");
  return fControls[static_cast<std::size_t>(index)];
}

WindowHandle TCustomBorderedControl::Handle() {
  if (fHandle) return fHandle;
  if (IsDestroying()) throw EComponentError(std::string(ClassName()) + " is being destroyed");
  if (fParent && !fParent->HandleAllocated()) {
    fParent->HandleNeeded();  // makes ours too
    if (fHandle) return fHandle;
  }
  CreateHandleNow();
  return fHandle;
}

void TCustomBorderedControl::CreateHandleNow() {
  if (fHandle) return;
  platform::TCreateParams params;
  CreateParams(params);
  fHandle = fDesktop->CreateWindow(params, this);
  WindowControls()[{fDesktop, fHandle}] = this;
  if (fCursor != crDefault) platform::ScreenCursors().SetWindowCursor(fHandle, fCursor);
  CreateWnd();
  ChildrenNeedHandles();
  Realign();
}

void TCustomBorderedControl::ChildrenNeedHandles() {
  const auto children = fControls;
  for (TCustomBorderedControl* child : children)
    if (!child->fHandle && !child->IsDestroying()) child->CreateHandleNow();
}

void TCustomBorderedControl::DestroyHandle() {
  if (fHandle) fDesktop->DestroyWindow(fHandle);  // children's windows go with it
  fHandle = 0;
}

void TCustomBorderedControl::CreateParams(platform::TCreateParams& params) {
  params.Parent = fParent ? fParent->fHandle : 0;
  params.Bounds = BoundsRect();
  params.Style = (fVisible ? platform::wsVisible : 0) | (fEnabled ? 0 : platform::wsDisabled) |
                 (fTabStop ? platform::wsTabStop : 0) | platform::wsDblClicks;
  params.FrameInsets = FrameInsets();
  params.Background = fColor;
  params.Caption = Name();
}

// --- bounds ------------------------------------------------------------------------

void TCustomBorderedControl::SetBounds(int left, int top, int width, int height) {
  width = std::max(0, width);
  height = std::max(0, height);
  if (left == fLeft && top == fTop && width == fWidth && height == fHeight) return;
  const bool resized = width != fWidth || height != fHeight;
  fLeft = left;
  fTop = top;
  fWidth = width;
  fHeight = height;
  if (fHandle) fDesktop->SetBounds(fHandle, BoundsRect());
  if (fParent && fAlign != alNone && !fParent->fAligning) fParent->Realign();
  if (resized) {
    Realign();
    Resize();
  }
}

TRect TCustomBorderedControl::FrameInsets() const noexcept {
  if (fBorderStyle == bsNone) return {};
  const int d = fCtl3D ? 2 : 1;
  return {d, d, d, d};
}

TRect TCustomBorderedControl::ClientRect() const noexcept {
  const TRect in = FrameInsets();
  return {0, 0, std::max(0, fWidth - in.Left - in.Right),
          std::max(0, fHeight - in.Top - in.Bottom)};
}

TPoint TCustomBorderedControl::ClientToScreen(TPoint p) const {
  if (fHandle) return fDesktop->ClientToScreen(fHandle, p);
  const TRect in = FrameInsets();
  TPoint r{p.X + fLeft + in.Left, p.Y + fTop + in.Top};
  return fParent ? fParent->ClientToScreen(r) : r;
}

TPoint TCustomBorderedControl::ScreenToClient(TPoint p) const {
  const TPoint origin = ClientToScreen({0, 0});
  return {p.X - origin.X, p.Y - origin.Y};
}

void TCustomBorderedControl::SetVisible(bool visible) {
  if (visible == fVisible) return;
  fVisible = visible;
  if (fHandle) fDesktop->ShowWindow(fHandle, visible);
  if (fParent && fAlign != alNone) fParent->Realign();
  VisibleChanged();
}

bool TCustomBorderedControl::Showing() const {
  return fHandle && fDesktop->IsWindowVisible(fHandle);
}

void TCustomBorderedControl::SetEnabled(bool enabled) {
  if (enabled == fEnabled) return;
  fEnabled = enabled;
  if (fHandle) fDesktop->EnableWindow(fHandle, enabled);
  EnabledChanged();
}

void TCustomBorderedControl::EnabledChanged() {
  Invalidate();
}

void TCustomBorderedControl::VisibleChanged() {}

// --- look ----------------------------------------------------------------------------

void TCustomBorderedControl::ApplyFrame() {
  if (fHandle) fDesktop->SetFrameInsets(fHandle, FrameInsets());
  Realign();
  Resize();
  Invalidate();
}

void TCustomBorderedControl::SetBorderStyle(TBorderStyle style) {
  if (style == fBorderStyle) return;
  fBorderStyle = style;
  ApplyFrame();
}

void TCustomBorderedControl::SetCtl3D(bool value) {
  if (value == fCtl3D) return;
  fCtl3D = value;
  if (fBorderStyle != bsNone) ApplyFrame();
}

void TCustomBorderedControl::SetColor(TColor color) {
  if (color == fColor) return;
  fColor = color;
  Invalidate();
}

void TCustomBorderedControl::FontChanged() {
  if (fMeasureCanvas) ApplyFont(*fMeasureCanvas, fFont);
  Invalidate();
}

void TCustomBorderedControl::SetPopupMenu(TPopupMenu* menu) {
  if (menu == fPopupMenu) return;
  if (fPopupMenu) RemoveFreeNotification(fPopupMenu);
  fPopupMenu = menu;
  if (menu) FreeNotification(menu);
}

void TCustomBorderedControl::SetDesigning(bool value) {
  value ? fState.Include(csDesigning) : fState.Exclude(csDesigning);
}

void TCustomBorderedControl::SetLoading(bool value) {
  value ? fState.Include(csLoading) : fState.Exclude(csLoading);
}

// --- alignment --------------------------------------------------------------------------

void TCustomBorderedControl::SetAlign(TAlign align) {
  if (align == fAlign) return;
  fAlign = align;
  if (fParent) fParent->Realign();
}

void TCustomBorderedControl::Realign() {
  if (fAligning || IsDestroying()) return;
  ++fAligning;
  try {
    TRect rect = ClientRect();
    AdjustClientRect(rect);
    AlignControls(rect);
  } catch (...) {
    --fAligning;
    throw;
  }
  --fAligning;
}

void TCustomBorderedControl::AdjustClientRect(TRect&) {}

void TCustomBorderedControl::AlignControls(TRect& rect) {
  for (TAlign pass : {alTop, alBottom, alLeft, alRight, alClient}) {
    const auto children = fControls;
    for (TCustomBorderedControl* child : children)
      if (child->fAlign == pass && child->fVisible) AlignStep(*child, rect);
  }
}

void TCustomBorderedControl::AlignStep(TCustomBorderedControl& child, TRect& rect) {
  const int w = std::max(0, rect.Width());
  const int h = std::max(0, rect.Height());
  switch (child.fAlign) {
    case alTop:
      child.SetBounds(rect.Left, rect.Top, w, child.fHeight);
      rect.Top = std::min(rect.Bottom, rect.Top + child.fHeight);
      break;
    case alBottom:
      child.SetBounds(rect.Left, rect.Bottom - child.fHeight, w, child.fHeight);
      rect.Bottom = std::max(rect.Top, rect.Bottom - child.fHeight);
      break;
    case alLeft:
      child.SetBounds(rect.Left, rect.Top, child.fWidth, h);
      rect.Left = std::min(rect.Right, rect.Left + child.fWidth);
      break;
    case alRight:
      child.SetBounds(rect.Right - child.fWidth, rect.Top, child.fWidth, h);
      rect.Right = std::max(rect.Left, rect.Right - child.fWidth);
      break;
    case alClient:
      child.SetBounds(rect.Left, rect.Top, w, h);
      break;
    case alNone:
      break;
  }
}

// --- painting --------------------------------------------------------------------------

void TCustomBorderedControl::Invalidate() {
  if (fHandle) fDesktop->InvalidateRect(fHandle, nullptr);
}

void TCustomBorderedControl::InvalidateRect(const TRect& rect) {
  if (fHandle) fDesktop->InvalidateRect(fHandle, &rect);
}

void TCustomBorderedControl::Update() {
  if (fHandle) fDesktop->UpdateWindow(fHandle);
}

void TCustomBorderedControl::ScrollWindow(int dx, int dy, const TRect* scroll, const TRect* clip) {
  if (fHandle) fDesktop->ScrollWindow(fHandle, dx, dy, scroll, clip);
}

TCanvas& TCustomBorderedControl::Canvas() {
  if (fPaintCanvas) return *fPaintCanvas;
  if (!fMeasureCanvas) {
    fMeasureImage = std::make_unique<platform::TPixelImage>(1, 1);
    fMeasureCanvas = std::make_unique<TCanvas>(*fMeasureImage);
    ApplyFont(*fMeasureCanvas, fFont);
  }
  return *fMeasureCanvas;
}

bool TCustomBorderedControl::DrawOnWindow(const std::function<void(TCanvas&)>& draw) {
  if (!fHandle) return false;
  return fDesktop->DrawOn(fHandle, [&](TCanvas& canvas) {
    ApplyFont(canvas, fFont);
    draw(canvas);
  });
}

std::unique_ptr<platform::TPixelImage> TCustomBorderedControl::Snapshot() const {
  return fHandle ? fDesktop->ComposeWindow(fHandle) : nullptr;
}

void TCustomBorderedControl::Paint() {
  TCanvas& canvas = Canvas();
  canvas.Brush() = platform::TBrush{fColor, platform::bsSolid};
  for (const TRect& r : fPaintClip.Rects()) canvas.FillRect(r);
}

void TCustomBorderedControl::PaintBorder(TCanvas& canvas) {
  if (fBorderStyle == bsNone) return;
  const TRect r{0, 0, fWidth, fHeight};
  auto line = [&](int x1, int y1, int x2, int y2, TColor c) {
    canvas.Pen() = platform::TPen{c, 1, platform::psSolid, platform::pmCopy};
    canvas.MoveTo(x1, y1);
    canvas.LineTo(x2, y2);
  };
  if (!fCtl3D) {
    canvas.Brush() = platform::TBrush{clWindowFrame, platform::bsSolid};
    canvas.FrameRect(r);
    return;
  }
  // A sunken client edge: shadow above and left, light below and right,
  // two pixels deep.
  line(r.Left, r.Bottom - 1, r.Left, r.Top, clBtnShadow);
  line(r.Left, r.Top, r.Right, r.Top, clBtnShadow);
  line(r.Left, r.Bottom - 1, r.Right, r.Bottom - 1, clBtnHighlight);
  line(r.Right - 1, r.Top, r.Right - 1, r.Bottom, clBtnHighlight);
  line(r.Left + 1, r.Bottom - 2, r.Left + 1, r.Top + 1, cl3DDkShadow);
  line(r.Left + 1, r.Top + 1, r.Right - 1, r.Top + 1, cl3DDkShadow);
  line(r.Left + 1, r.Bottom - 2, r.Right - 1, r.Bottom - 2, cl3DLight);
  line(r.Right - 2, r.Top + 1, r.Right - 2, r.Bottom - 1, cl3DLight);
}

void TCustomBorderedControl::Resize() {
  if (OnResize) OnResize(*this);
}

// --- focus, capture, timers -------------------------------------------------------------------

bool TCustomBorderedControl::CanFocus() const {
  return fHandle && fDesktop->IsWindowVisible(fHandle) && fDesktop->IsWindowEnabled(fHandle);
}

bool TCustomBorderedControl::Focused() const {
  return fHandle && fDesktop->GetFocus() == fHandle;
}

void TCustomBorderedControl::SetFocus() {
  if (!CanFocus()) throw EComponentError("Cannot focus a disabled or invisible window");
  fDesktop->SetFocus(fHandle);
}

bool TCustomBorderedControl::MouseCapture() const {
  return fHandle && fDesktop->GetCapture() == fHandle;
}

void TCustomBorderedControl::SetMouseCapture(bool value) {
  if (value) {
    fDesktop->SetCapture(Handle());
  } else if (MouseCapture()) {
    fDesktop->ReleaseCapture();
  }
}

bool TCustomBorderedControl::SetTimer(std::uintptr_t id, std::uint32_t intervalMs) {
  return fDesktop->SetTimer(Handle(), id, intervalMs);
}

void TCustomBorderedControl::KillTimer(std::uintptr_t id) {
  if (fHandle) fDesktop->KillTimer(fHandle, id);
}

bool TCustomBorderedControl::PostMessage(std::uint32_t message, std::uintptr_t wParam,
                                         std::intptr_t lParam) {
  return fDesktop->PostMessage(Handle(), message, wParam, lParam);
}

// --- standard handling --------------------------------------------------------------------------

void TCustomBorderedControl::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
  if (OnMouseDown) OnMouseDown(*this, button, shift, x, y);
}

void TCustomBorderedControl::MouseUp(TMouseButton button, TShiftState shift, int x, int y) {
  if (OnMouseUp) OnMouseUp(*this, button, shift, x, y);
}

void TCustomBorderedControl::MouseMove(TShiftState shift, int x, int y) {
  if (OnMouseMove) OnMouseMove(*this, shift, x, y);
}

bool TCustomBorderedControl::DoMouseWheel(TShiftState, int, TPoint) {
  return false;
}

void TCustomBorderedControl::MouseEnter() {
  if (OnMouseEnter) OnMouseEnter(*this);
}

void TCustomBorderedControl::MouseLeave() {
  if (OnMouseLeave) OnMouseLeave(*this);
}

void TCustomBorderedControl::Click() {
  if (OnClick) OnClick(*this);
}

void TCustomBorderedControl::DblClick() {
  if (OnDblClick) OnDblClick(*this);
}

void TCustomBorderedControl::KeyDown(TVirtualKey& key, TShiftState shift) {
  if (OnKeyDown) OnKeyDown(*this, key, shift);
}

void TCustomBorderedControl::KeyUp(TVirtualKey& key, TShiftState shift) {
  if (OnKeyUp) OnKeyUp(*this, key, shift);
}

void TCustomBorderedControl::KeyPress(char32_t& ch) {
  if (OnKeyPress) OnKeyPress(*this, ch);
}

std::uint32_t TCustomBorderedControl::DialogCode(TVirtualKey) {
  return 0;
}

void TCustomBorderedControl::CancelMode(WindowHandle sender) {
  // A press during the drag raises cancel-mode naming the drag's window; the
  // drag decides about that press itself.
  const platform::TDragSession& session = platform::DragSession();
  if (DragClient::Instance().source == this && session.Active() &&
      (sender == 0 || sender != session.CaptureWindow()))
    EndDrag(false);
  SetMouseCapture(false);
  fClickDown = -1;
}

// --- drag and drop ---------------------------------------------------------------------------

void TCustomBorderedControl::BeginDrag(bool immediate, int threshold) {
  if (IsDestroying()) return;
  platform::TDragSession& session = platform::DragSession();
  if (session.Active()) return;
  const WindowHandle window = Handle();
  DragClient& client = DragClient::Instance();
  client.source = this;
  client.desktop = fDesktop;
  if (!session.Begin(*fDesktop, {window, immediate, threshold, fDragCursor}, client)) {
    client.source = nullptr;
    return;
  }
  // The drag holds the mouse now: the press that began it is no click, and
  // its release will not come here.
  fClickDown = -1;
}

bool TCustomBorderedControl::Dragging() const {
  return DragClient::Instance().source == this && platform::DragSession().Dragging();
}

void TCustomBorderedControl::EndDrag(bool drop) {
  if (DragClient::Instance().source == this) platform::DragSession().End(drop);
}

void TCustomBorderedControl::SetDragCursor(TCursor cursor) {
  fDragCursor = cursor;
  if (Dragging()) platform::DragSession().SetAcceptCursor(cursor);
}

void TCustomBorderedControl::DoStartDrag() {
  if (OnStartDrag) OnStartDrag(*this);
}

void TCustomBorderedControl::DragOver(TCustomBorderedControl* source, int x, int y,
                                      TDragState state, bool& accept) {
  accept = static_cast<bool>(OnDragOver);
  if (OnDragOver) OnDragOver(*this, source, x, y, state, accept);
}

void TCustomBorderedControl::DragDrop(TCustomBorderedControl* source, int x, int y) {
  if (OnDragDrop) OnDragDrop(*this, source, x, y);
}

void TCustomBorderedControl::DoEndDrag(TCustomBorderedControl* target, int x, int y) {
  if (OnEndDrag) OnEndDrag(*this, target, x, y);
}

void TCustomBorderedControl::DoEnter() {
  if (OnEnter) OnEnter(*this);
}

void TCustomBorderedControl::DoExit() {
  if (OnExit) OnExit(*this);
}

void TCustomBorderedControl::Timer(std::uintptr_t) {}

void TCustomBorderedControl::SetCursor(TCursor cursor) {
  fCursor = cursor;
  if (fHandle) platform::ScreenCursors().SetWindowCursor(fHandle, cursor);
}

TCursor TCustomBorderedControl::GetCursorAt(int, int) {
  return fCursor;
}

bool TCustomBorderedControl::GetHintInfo(platform::THintInfo& info, TPoint p) {
  if (!fShowHint || fHint.empty()) return false;
  const TPoint screen = ClientToScreen(p);
  const TPoint origin = ClientToScreen({0, 0});
  info.Text = fHint;
  info.Position = {screen.X, screen.Y + 20};
  info.CursorRect = ClientRect().Offset(origin.X, origin.Y);
  info.HideTimeoutMs = kHintHidePause;
  return true;
}

void TCustomBorderedControl::HideHint() {
  if (fHandle) fDesktop->KillTimer(fHandle, kReservedTimers);
  if (fHintWindow) fHintWindow->Hide();
}

std::intptr_t TCustomBorderedControl::WindowProc(std::uint32_t, std::uintptr_t, std::intptr_t) {
  return 0;
}

// --- window callbacks ---------------------------------------------------------------------------

void TCustomBorderedControl::WindowPaint(WindowHandle, TCanvas& canvas, const TRegion& clip) {
  fPaintCanvas = &canvas;
  fPaintClip = clip;
  ApplyFont(canvas, fFont);
  try {
    Paint();
  } catch (...) {
    fPaintCanvas = nullptr;
    fPaintClip = TRegion();
    throw;
  }
  fPaintCanvas = nullptr;
  fPaintClip = TRegion();
}

void TCustomBorderedControl::WindowPaintFrame(WindowHandle, TCanvas& canvas) {
  PaintBorder(canvas);
}

bool TCustomBorderedControl::WindowEraseBackground(WindowHandle, TCanvas& canvas,
                                                   const TRegion& region) {
  canvas.Brush() = platform::TBrush{fColor, platform::bsSolid};
  for (const TRect& r : region.Rects()) canvas.FillRect(r);
  return true;
}

void TCustomBorderedControl::WindowMouseDown(WindowHandle, TMouseButton button, TShiftState shift,
                                             TPoint p) {
  HideHint();  // a press ends the hint
  if (button == platform::mbLeft) {
    SetMouseCapture(true);
    if (shift & platform::ssDouble) {
      fClickDown = -1;  // the release that ends a double click is no click
      DblClick();
    } else {
      fClickDown = button;
    }
  }
  MouseDown(button, shift, p.X, p.Y);
}

void TCustomBorderedControl::WindowMouseUp(WindowHandle, TMouseButton button, TShiftState shift,
                                           TPoint p) {
  if (button == platform::mbLeft) {
    SetMouseCapture(false);
    if (fClickDown == button && ClientRect().Contains(p)) {
      fClickDown = -1;
      Click();
    }
    fClickDown = -1;
  }
  MouseUp(button, shift, p.X, p.Y);
}

void TCustomBorderedControl::WindowMouseMove(WindowHandle window, TShiftState shift, TPoint p) {
  platform::ScreenCursors().SetWindowCursor(window, GetCursorAt(p.X, p.Y));
  // A hint shows once the mouse rests; moving within the shown hint's cursor
  // rectangle keeps it, moving out of it starts the wait again.
  const bool hintShown = fHintWindow && fHintWindow->IsShowing();
  if (fShowHint && !(hintShown && fHintWindow->Info().CursorRect.Contains(ClientToScreen(p)))) {
    if (hintShown) fHintWindow->Hide();
    fDesktop->SetTimer(window, kReservedTimers, kHintPause);
  }
  MouseMove(shift, p.X, p.Y);
}

bool TCustomBorderedControl::WindowMouseWheel(WindowHandle, int delta, TShiftState shift,
                                              TPoint p) {
  return DoMouseWheel(shift, delta, p);
}

void TCustomBorderedControl::WindowMouseEnter(WindowHandle) {
  MouseEnter();
}

void TCustomBorderedControl::WindowMouseLeave(WindowHandle) {
  HideHint();
  MouseLeave();
}

void TCustomBorderedControl::WindowKeyDown(WindowHandle, TVirtualKey key, TShiftState shift) {
  KeyDown(key, shift);
}

void TCustomBorderedControl::WindowKeyUp(WindowHandle, TVirtualKey key, TShiftState shift) {
  KeyUp(key, shift);
}

void TCustomBorderedControl::WindowChar(WindowHandle, char32_t ch) {
  KeyPress(ch);
}

std::uint32_t TCustomBorderedControl::WindowDialogCode(WindowHandle, TVirtualKey key) {
  return DialogCode(key);
}

void TCustomBorderedControl::WindowCancelMode(WindowHandle, WindowHandle sender) {
  CancelMode(sender);
}

void TCustomBorderedControl::WindowFocusChanged(WindowHandle, bool focused, WindowHandle) {
  focused ? DoEnter() : DoExit();
}

void TCustomBorderedControl::WindowTimer(WindowHandle window, std::uintptr_t id) {
  if (id != kReservedTimers) {
    Timer(id);
    return;
  }
  fDesktop->KillTimer(window, id);
  if (fDesktop->HoverWindow() != window) return;
  platform::THintInfo info;
  if (!GetHintInfo(info, ScreenToClient(fDesktop->CursorPos())) || info.Text.empty()) return;
  if (!fHintWindow) fHintWindow = std::make_unique<platform::THintWindow>(*fDesktop);
  fHintWindow->Show(info);
}

std::intptr_t TCustomBorderedControl::WindowMessage(WindowHandle, std::uint32_t message,
                                                    std::uintptr_t wParam, std::intptr_t lParam) {
  return WindowProc(message, wParam, lParam);
}

void TCustomBorderedControl::WindowDestroyed(WindowHandle window) {
  platform::ScreenCursors().SetWindowCursor(window, crDefault);
  WindowControls().erase({fDesktop, window});
  if (window == fHandle) fHandle = 0;
}

// --- location pair ------------------------------------------------------------------------------

TLocation::TLocation(int defaultX, int defaultY)
    : fX(defaultX), fY(defaultY), fDefaultX(defaultX), fDefaultY(defaultY) {}

void TLocation::SetX(int value) {
  if (value == fX) return;
  fX = value;
  Changed();
}

void TLocation::SetY(int value) {
  if (value == fY) return;
  fY = value;
  Changed();
}

void TLocation::SetXY(int x, int y) {
  if (x == fX && y == fY) return;
  fX = x;
  fY = y;
  Changed();
}

void TLocation::Changed() {
  if (OnChange) OnChange(*this);
}

void TLocation::Assign(const TPersistent& source) {
  if (const auto* other = dynamic_cast<const TLocation*>(&source)) {
    SetXY(other->fX, other->fY);
    return;
  }
  TPersistent::Assign(source);
}

void TLocation::WriteProperties(TStoredObject& out) const {
  if (fX != fDefaultX) out.Set("X", TStoredValue::Integer(fX));
  if (fY != fDefaultY) out.Set("Y", TStoredValue::Integer(fY));
}

bool TLocation::ReadProperty(std::string_view name, const TStoredValue& value) {
  auto load = [&] { return static_cast<int>(LoadInteger(value, INT32_MIN, INT32_MAX)); };
  if (name.size() == 1 && (name[0] == 'X' || name[0] == 'x')) {
    SetX(load());
    return true;
  }
  if (name.size() == 1 && (name[0] == 'Y' || name[0] == 'y')) {
    SetY(load());
    return true;
  }
  return false;
}

// --- extended collection
// ---------------------------------------------------------------------------

void TExtendedCollection::Update(TCollectionItem* item) {
  TOwnedCollection::Update(item);
  if (auto* owner = dynamic_cast<IExtendedCollectionOwner*>(GetOwner()))
    owner->CollectionChanged(*this, item);
  if (OnChange) OnChange(*this, item);
}

// --- popup menu
// ------------------------------------------------------------------------------------

int TPopupMenu::Popup(int screenX, int screenY) {
  if (OnPopup) OnPopup(*this);
  std::vector<platform::TMenuEntry> entries;
  entries.reserve(Items.size());
  for (const TMenuItemInfo& item : Items)
    entries.push_back({item.Caption, item.Enabled, item.Checked});
  platform::TDesktop& desktop =
      PopupComponent ? PopupComponent->Desktop() : platform::TDesktop::Current();
  const int chosen = platform::TrackPopupMenu(desktop, entries, {screenX, screenY});
  if (chosen >= 0 && chosen < static_cast<int>(Items.size())) {
    const auto onClick =
        Items[static_cast<std::size_t>(chosen)].OnClick;  // the handler may change Items
    if (onClick) onClick();
  }
  return chosen;
}

}  // namespace tarvo
