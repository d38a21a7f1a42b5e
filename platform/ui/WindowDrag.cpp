#include "platform/ui/WindowDrag.h"

namespace tarvo::platform {

// The hidden window that holds the mouse while a session runs, pending or
// started.
class TDragSession::Proc final : public TWindowProc {
 public:
  explicit Proc(TDragSession& session) : fSession(session) {}

  void WindowMouseMove(WindowHandle window, TShiftState, TPoint p) override {
    if (fSession.fState == sPending) {
      fSession.PendingMove(Screen(window, p));
    } else if (fSession.fState == sDragging) {
      fSession.Move(Screen(window, p));
    }
  }
  void WindowMouseDown(WindowHandle window, TMouseButton button, TShiftState, TPoint p) override {
    // The right button cancels; a left press (a drag begun from code while
    // no button was held) waits for its release, which ends the drag.
    if (button == mbRight && Running()) fSession.Finish(false, Screen(window, p));
  }
  void WindowMouseUp(WindowHandle window, TMouseButton button, TShiftState, TPoint p) override {
    // Below the threshold this ends a drag that never started; the source
    // does not get the release either way.
    if (button == mbLeft && Running()) fSession.Finish(true, Screen(window, p));
  }
  void WindowCaptureLost(WindowHandle, WindowHandle) override {
    if (Running()) fSession.Finish(false, fSession.fPos);
  }
  void WindowDestroyed(WindowHandle window) override {
    if (window != fSession.fWindow) return;  // the session destroys it itself
    // Someone else destroyed it (its desktop is going): the session ends.
    fSession.fWindow = 0;
    if (Running()) fSession.Finish(false, fSession.fPos);
  }

 private:
  bool Running() const { return fSession.fState == sPending || fSession.fState == sDragging; }
  TPoint Screen(WindowHandle window, TPoint p) const {
    return fSession.fDesktop->ClientToScreen(window, p);
  }
  TDragSession& fSession;
};

TDragSession::TDragSession() : fProc(std::make_unique<Proc>(*this)) {}

TDragSession::~TDragSession() = default;

bool TDragSession::Begin(TDesktop& desktop, const TParams& params, IDragClient& client) {
  if (fState != sIdle || !params.Source || !desktop.IsWindow(params.Source)) return false;
  fDesktop = &desktop;
  fClient = &client;
  fSource = params.Source;
  fTarget = 0;
  fAccepted = false;
  fMoved = false;
  fAcceptCursor = params.AcceptCursor;
  fPos = desktop.CursorPos();
  fTracker.Begin(desktop, fPos, params.Immediate, params.Threshold);
  TCreateParams cp;
  cp.Bounds = {0, 0, 1, 1};
  cp.Style = wsPopup | wsNoActivate;  // never shown, never activated by a press
  cp.Caption = "drag";
  fWindow = desktop.CreateWindow(cp, fProc.get());
  fHook = desktop.AddInputHook([this](const TInputEvent& e) { InputHook(e.Kind, e.Key); });
  fState = sPending;
  const std::uint64_t serial = ++fSerial;
  // The session holds the mouse from now on, pending or not: the press that
  // began it and its release belong to the drag, not to the source.
  desktop.SetCapture(fWindow);
  if (serial != fSerial || fState != sPending) return true;  // ended by the old holder
  if (params.Immediate) Start(fPos);
  return true;
}

void TDragSession::InputHook(int kind, TVirtualKey key) {
  // Keys go to the focused window, not to the capture: Esc is seen here.
  if (kind == TInputEvent::ieKeyDown && key == VK_ESCAPE) End(false);
}

void TDragSession::PendingMove(TPoint screen) {
  if (!Alive(fSource)) {
    Finish(false, screen);
    return;
  }
  fPos = screen;
  if (fTracker.Move(screen)) Start(screen);
}

void TDragSession::Start(TPoint screen) {
  fState = sDragging;
  fSavedCursor = ScreenCursors().ScreenCursor();
  ScreenCursors().SetScreenCursor(crNoDrop);
  const std::uint64_t serial = fSerial;
  fClient->DragStarted();
  if (serial != fSerial || fState != sDragging) return;
  Move(screen);
}

bool TDragSession::Alive(WindowHandle window) const {
  return window && fDesktop->IsWindow(window);
}

void TDragSession::Move(TPoint screen) {
  if (fState != sDragging) return;
  if (!Alive(fSource)) {
    Finish(false, screen);
    return;
  }
  if (fMoved && screen == fPos && (!fTarget || Alive(fTarget))) return;
  fPos = screen;
  fMoved = true;
  const std::uint64_t serial = fSerial;
  auto ended = [&] { return serial != fSerial || fState != sDragging; };
  if (fTarget && !Alive(fTarget)) {
    fTarget = 0;
    fAccepted = false;
  }
  const WindowHandle target = fClient->DragTargetAt(screen);
  if (ended()) return;
  if (target != fTarget) {
    const WindowHandle old = fTarget;
    fTarget = 0;
    fAccepted = false;
    UpdateCursor();
    if (Alive(old)) {
      fClient->DragOver(old, screen, dsDragLeave);
      if (ended()) return;
    }
    if (Alive(target)) {
      fTarget = target;
      const bool accept = fClient->DragOver(target, screen, dsDragEnter);
      if (ended()) return;
      fAccepted = accept;
    }
  } else if (Alive(target)) {
    const bool accept = fClient->DragOver(target, screen, dsDragMove);
    if (ended()) return;
    fAccepted = accept;
  }
  if (fTarget && !Alive(fTarget)) {
    fTarget = 0;
    fAccepted = false;
  }
  UpdateCursor();
}

void TDragSession::End(bool drop) {
  if (fState == sPending || fState == sDragging) Finish(drop, fPos);
}

void TDragSession::Finish(bool drop, TPoint screen) {
  IDragClient* client = fClient;
  if (fState == sPending) {
    // Never started: no target was asked, so none hears of the end.
    fState = sEnding;
    fPos = screen;
    if (fWindow && fDesktop->GetCapture() == fWindow) fDesktop->ReleaseCapture();
    Cleanup();
    client->DragEnded(0, screen, false);
    return;
  }
  if (fState != sDragging) return;
  const std::uint64_t serial = fSerial;
  if (drop) {
    Move(screen);
    if (serial != fSerial || fState != sDragging) return;
  }
  fState = sEnding;
  const WindowHandle target = Alive(fTarget) ? fTarget : 0;
  const bool accepted = target && fAccepted;
  const TPoint at = fPos;
  // The normal state first: what the target and the client do next may
  // need the mouse.
  ScreenCursors().SetScreenCursor(fSavedCursor);
  if (fWindow && fDesktop->GetCapture() == fWindow) fDesktop->ReleaseCapture();
  if (target) client->DragOver(target, at, dsDragLeave);
  WindowHandle dropped = 0;
  if (drop && accepted && Alive(target)) {
    client->DragDrop(target, at);
    if (Alive(target)) dropped = target;
  }
  Cleanup();
  client->DragEnded(dropped, at, true);
}

void TDragSession::Cleanup() {
  if (fHook) fDesktop->RemoveInputHook(fHook);
  fHook = 0;
  const WindowHandle window = fWindow;
  fWindow = 0;  // WindowDestroyed then knows it was us
  fState = sIdle;
  ++fSerial;
  if (window) fDesktop->DestroyWindow(window);
  fTracker.End();
  fClient = nullptr;
  fSource = 0;
  fTarget = 0;
  fAccepted = false;
}

void TDragSession::SetAcceptCursor(int cursor) {
  fAcceptCursor = cursor;
  if (fState == sDragging) UpdateCursor();
}

void TDragSession::UpdateCursor() {
  ScreenCursors().SetScreenCursor(fTarget && fAccepted ? fAcceptCursor : crNoDrop);
}

TDragSession& DragSession() {
  // Never destroyed: a drag still running at exit ends when the default
  // desktop (a static that may outlive this one) destroys its window.
  static auto* const session = new TDragSession;
  return *session;
}

}  // namespace tarvo::platform
