// The X11 presenter: shows a desktop's top-level windows on a real X display
// and feeds the display's input into the desktop.
//
// Every visible top-level window of the desktop gets an X window of the same
// place and size (pop-ups and topmost windows are override-redirect, so no
// window manager decorates or moves them); whenever a window's tree changes
// its look (TDesktop::Generation), its composed picture is put into the X
// window. Mouse buttons, motion, the wheel and keys on those X windows become
// the desktop's input calls, in desktop screen coordinates (the desktop
// window's place plus the event's position inside it), so that the same
// routing, capture and focus rules apply as for scripted input. A window
// manager's close request destroys the desktop window unless OnCloseRequest
// says otherwise; a window manager that moves a window moves the desktop
// window along.
//
// The presenter syncs in the desktop's idle hook, i.e. at the end of every
// TDesktop::ProcessMessages; Sync may also be called directly.
//
// Threads: the UI thread of the desktop only. The presenter must end before
// its desktop.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/ui/WindowSystem.h"

namespace tarvo::platform {

class TX11Presenter {
 public:
  // Opens the display (empty: $DISPLAY). Throws EWindowError when it cannot
  // be opened or has no true-colour visual.
  explicit TX11Presenter(TDesktop& desktop, const std::string& displayName = {});
  ~TX11Presenter();
  TX11Presenter(const TX11Presenter&) = delete;
  TX11Presenter& operator=(const TX11Presenter&) = delete;

  // True when the display can be opened (and closes it again).
  static bool DisplayAvailable(const std::string& displayName = {});

  // Handles pending X events, then mirrors the top-level windows. Returns the
  // number of X events handled.
  int Sync();

  // The X window that shows a top-level window; 0 when none.
  std::uint64_t XWindowOf(WindowHandle topLevel) const;

  // Asked when the window manager wants a window closed; true destroys the
  // desktop window (the default when unset).
  std::function<bool(WindowHandle)> OnCloseRequest;

 private:
  struct Shown;
  struct Impl;
  void HandleEvent(void* event);
  WindowHandle TopLevelOf(std::uint64_t xwindow) const;
  void Put(WindowHandle topLevel, Shown& shown);

  TDesktop& fDesktop;
  std::unique_ptr<Impl> fImpl;
  int fHook = 0;
};

}  // namespace tarvo::platform
