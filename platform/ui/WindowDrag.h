// The desktop side of drag and drop: one drag session at a time.
//
// A session begins for a source window, either at once or pending until the
// mouse moves beyond a threshold (the desktop's SM_CXDRAG / SM_CYDRAG unless
// the caller gives one) from where the cursor was when it began. From its
// beginning the session holds the mouse (capture on a hidden window of its
// own), pending or not: the press that began it and its release belong to
// the drag, so the source gets neither a release nor moves for them. While
// pending, no target is asked and the cursor is left alone; the session
// ends without having started (DragEnded with started false and target 0)
// on release of the left button (at the release point), on Esc, a press of
// the right button, loss of the capture, the capture window's destruction,
// End from code (drop or not: there is nothing to drop), or a move after
// the source's window is gone. A pending session is a click the source
// chose to hand to the drag: what it makes of one that never started is up
// to the client.
//
// Once started, the windows under the mouse still get no input; every move
// asks the client which window is the target under the pointer and tells
// that target what happens:
//   - a new target hears dsDragEnter, the one the mouse left dsDragLeave;
//   - further moves over the same target hear dsDragMove;
//   - the answers of enter and move say whether the target would accept a
//     drop there, and the screen cursor shows it: the accept cursor (crDrag
//     unless the caller gives another) over an accepting target, crNoDrop
//     anywhere else. The screen cursor in use before the drag is restored
//     when it ends.
// The drag ends:
//   - on release of the left button: the release point is evaluated as a
//     move first, the target hears dsDragLeave, then DragDrop when it
//     accepted, then the client hears DragEnded with that target (0 when the
//     drop was refused or there was no target);
//   - on Esc, a press of the right button, loss of the capture to another
//     window (a menu, a dialog), the capture window's destruction, or
//     End(false) from code: the target hears dsDragLeave, no drop, DragEnded
//     with target 0;
//   - End(true) from code drops at the last mouse position, as a release
//     there would.
// The capture is released and the cursor restored before the target and the
// client hear of the end, so what they do (show a menu, start another drag)
// runs in the normal state.
//
// Windows may be destroyed by any callback: the session looks its source and
// target up by handle after every call. A target whose window is gone is
// forgotten without a leave; a source whose window is gone ends the drag
// (DragEnded with target 0). A callback may end the drag (the rest of the
// step is skipped) or, from DragEnded, begin another one.
//
// Threads: the user-interface thread of the desktop, like the desktop.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/ui/WindowServices.h"
#include "platform/ui/WindowSystem.h"

namespace tarvo::platform {

enum TDragState : std::uint8_t { dsDragEnter, dsDragLeave, dsDragMove };

// What a session asks of its owner. Points are in screen coordinates.
class IDragClient {
 public:
  // The window that is the drop target at the point (0: none).
  virtual WindowHandle DragTargetAt(TPoint screen) = 0;
  // The pending drag has started (or an immediate one begins).
  virtual void DragStarted() = 0;
  // Whether target would accept a drop at the point; the answer to
  // dsDragLeave is not used.
  virtual bool DragOver(WindowHandle target, TPoint screen, TDragState state) = 0;
  virtual void DragDrop(WindowHandle target, TPoint screen) = 0;
  // The session is over. started: it had started (false when a pending
  // session ended before the threshold was passed; target is then 0).
  // target: the window that took the drop (0: none). screen: where it ended
  // (the release point, else the last mouse position).
  virtual void DragEnded(WindowHandle target, TPoint screen, bool started) = 0;

 protected:
  ~IDragClient() = default;
};

class TDragSession {
 public:
  struct TParams {
    WindowHandle Source = 0;
    bool Immediate = false;
    int Threshold = -1;  // < 0: the desktop's drag threshold
    int AcceptCursor = crDrag;
  };

  TDragSession();
  // Does not touch the desktop: a session must have ended before its desktop
  // goes (destroying the desktop ends it through its capture window).
  ~TDragSession();
  TDragSession(const TDragSession&) = delete;
  TDragSession& operator=(const TDragSession&) = delete;

  // Begins a session for params.Source on desktop, starting point the
  // desktop's cursor position. False (nothing happens) while another session
  // is pending or running, or when Source is not a window of desktop. client
  // must stay valid until it hears DragEnded.
  bool Begin(TDesktop& desktop, const TParams& params, IDragClient& client);
  // Ends the session (see the file comment); a pending one ends without
  // having started, whatever drop says. Nothing when idle.
  void End(bool drop);

  bool Active() const noexcept { return fState != sIdle; }
  bool Pending() const noexcept { return fState == sPending; }
  // Started and not yet ended.
  bool Dragging() const noexcept { return fState == sDragging || fState == sEnding; }
  WindowHandle Source() const noexcept { return fSource; }
  // The current target (0: none) and whether it accepts a drop now.
  WindowHandle Target() const noexcept { return fTarget; }
  bool Accepted() const noexcept { return fTarget != 0 && fAccepted; }
  // The last mouse position the session saw.
  TPoint Position() const noexcept { return fPos; }
  // The hidden window that holds the mouse while the session runs, pending
  // or started (0 when idle); presses during a session send cancel-mode
  // naming it as the sender.
  WindowHandle CaptureWindow() const noexcept { return fWindow; }
  void SetAcceptCursor(int cursor);

 private:
  class Proc;
  enum TState : std::uint8_t { sIdle, sPending, sDragging, sEnding };

  void Start(TPoint screen);  // the target is asked at screen
  void Move(TPoint screen);
  void PendingMove(TPoint screen);
  void Finish(bool drop, TPoint screen);
  void Cleanup();
  void UpdateCursor();
  bool Alive(WindowHandle window) const;
  void InputHook(int kind, TVirtualKey key);

  std::unique_ptr<Proc> fProc;
  TDesktop* fDesktop = nullptr;
  IDragClient* fClient = nullptr;
  TState fState = sIdle;
  std::uint64_t fSerial = 0;  // changes whenever a session ends or begins
  WindowHandle fSource = 0;
  WindowHandle fTarget = 0;
  WindowHandle fWindow = 0;
  bool fAccepted = false;
  bool fMoved = false;  // the target was asked at fPos
  TPoint fPos;
  TDragTracker fTracker;
  int fHook = 0;
  int fAcceptCursor = crDrag;
  int fSavedCursor = crDefault;
};

// The process's session: the toolkit's controls drag through it (there is
// one mouse, so one drag at a time).
TDragSession& DragSession();

}  // namespace tarvo::platform
