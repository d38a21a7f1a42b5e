#include "platform/ui/x11/WindowX11.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/core/Text.h"
#include "platform/ui/WindowServices.h"

// Xlib's macros (None, Bool, Status ...) come after every C++ header.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <X11/keysym.h>

namespace tarvo::platform {

struct TX11Presenter::Shown {
  Window xwindow = 0;
  TRect bounds;
  std::uint64_t generation = ~std::uint64_t{0};
  bool mapped = false;
};

struct TX11Presenter::Impl {
  Display* display = nullptr;
  int screen = 0;
  Visual* visual = nullptr;
  int depth = 0;
  Atom wmDelete = 0;
  Atom wmProtocols = 0;
  std::map<WindowHandle, Shown> shown;
  std::vector<Window> order;
  std::map<unsigned, Cursor> fontCursors;
  int cursor = crDefault;
  // Channel shifts of the visual (the desktop's pixels are 0x00RRGGBB).
  int redShift = 16, greenShift = 8, blueShift = 0;
  bool identity = true;
};

namespace {

int ShiftOf(unsigned long mask) {
  int shift = 0;
  while (mask && !(mask & 1)) {
    mask >>= 1;
    ++shift;
  }
  // The mask holds 8 bits at most in the visuals we accept; align the top.
  int bits = 0;
  while (mask & 1) {
    mask >>= 1;
    ++bits;
  }
  return shift + bits - 8;
}

TShiftState ShiftFromState(unsigned int state) {
  TShiftState s = 0;
  if (state & ShiftMask) s |= ssShift;
  if (state & ControlMask) s |= ssCtrl;
  if (state & Mod1Mask) s |= ssAlt;
  return s;
}

TVirtualKey VirtualKeyOf(KeySym sym) {
  if (sym >= XK_a && sym <= XK_z) return static_cast<TVirtualKey>('A' + (sym - XK_a));
  if (sym >= XK_A && sym <= XK_Z) return static_cast<TVirtualKey>('A' + (sym - XK_A));
  if (sym >= XK_0 && sym <= XK_9) return static_cast<TVirtualKey>('0' + (sym - XK_0));
  if (sym >= XK_F1 && sym <= XK_F12) return static_cast<TVirtualKey>(VK_F1 + (sym - XK_F1));
  switch (sym) {
    case XK_BackSpace:
      return VK_BACK;
    case XK_Tab:
      return VK_TAB;
    case XK_Return:
    case XK_KP_Enter:
      return VK_RETURN;
    case XK_Escape:
      return VK_ESCAPE;
    case XK_space:
      return VK_SPACE;
    case XK_Prior:
      return VK_PRIOR;
    case XK_Next:
      return VK_NEXT;
    case XK_End:
      return VK_END;
    case XK_Home:
      return VK_HOME;
    case XK_Left:
      return VK_LEFT;
    case XK_Up:
      return VK_UP;
    case XK_Right:
      return VK_RIGHT;
    case XK_Down:
      return VK_DOWN;
    case XK_Insert:
      return VK_INSERT;
    case XK_Delete:
      return VK_DELETE;
    case XK_Menu:
      return VK_APPS;
    case XK_Shift_L:
    case XK_Shift_R:
      return VK_SHIFT;
    case XK_Control_L:
    case XK_Control_R:
      return VK_CONTROL;
    case XK_Alt_L:
    case XK_Alt_R:
      return VK_MENU;
    default:
      return 0;
  }
}

// The character a key types (0: none), as the desktop's character events
// carry it: control characters for backspace, tab, enter and escape.
char32_t CharOf(KeySym sym, unsigned int state) {
  if (state & (ControlMask | Mod1Mask)) return 0;
  switch (sym) {
    case XK_BackSpace:
      return 8;
    case XK_Tab:
      return 9;
    case XK_Return:
    case XK_KP_Enter:
      return 13;
    case XK_Escape:
      return 27;
    default:
      break;
  }
  if (sym >= 0x20 && sym <= 0x7E) return static_cast<char32_t>(sym);
  if (sym >= 0xA0 && sym <= 0xFF) return static_cast<char32_t>(sym);
  if ((sym & 0xFF000000) == 0x01000000) return static_cast<char32_t>(sym & 0x00FFFFFF);
  return 0;
}

// The X font cursor nearest to a screen cursor (registered pictures show as
// the arrow).
unsigned FontCursorOf(int id) {
  switch (id) {
    case crIBeam:
      return XC_xterm;
    case crCross:
      return XC_crosshair;
    case crSizeWE:
    case crHSplit:
      return XC_sb_h_double_arrow;
    case crVSplit:
      return XC_sb_v_double_arrow;
    case crHourGlass:
      return XC_watch;
    case crHandPoint:
      return XC_hand2;
    case crDrag:
    case crMultiDrag:
      return XC_fleur;
    case crNoDrop:
      return XC_X_cursor;
    default:
      return XC_left_ptr;
  }
}

}  // namespace

TX11Presenter::TX11Presenter(TDesktop& desktop, const std::string& displayName)
    : fDesktop(desktop), fImpl(std::make_unique<Impl>()) {
  fImpl->display = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
  if (!fImpl->display) throw EWindowError("Cannot open the X display " + displayName);
  fImpl->screen = DefaultScreen(fImpl->display);
  XVisualInfo want{};
  want.screen = fImpl->screen;
  want.c_class = TrueColor;
  int count = 0;
  XVisualInfo* found =
      XGetVisualInfo(fImpl->display, VisualScreenMask | VisualClassMask, &want, &count);
  XVisualInfo* pick = nullptr;
  for (int i = 0; i < count; ++i)
    if (found[i].visual == DefaultVisual(fImpl->display, fImpl->screen)) pick = &found[i];
  if (!pick || pick->depth < 24) {
    if (found) XFree(found);
    XCloseDisplay(fImpl->display);
    throw EWindowError("The X display has no 24-bit true-colour default visual");
  }
  fImpl->visual = pick->visual;
  fImpl->depth = pick->depth;
  fImpl->redShift = ShiftOf(pick->red_mask);
  fImpl->greenShift = ShiftOf(pick->green_mask);
  fImpl->blueShift = ShiftOf(pick->blue_mask);
  fImpl->identity = fImpl->redShift == 16 && fImpl->greenShift == 8 && fImpl->blueShift == 0;
  XFree(found);
  fImpl->wmDelete = XInternAtom(fImpl->display, "WM_DELETE_WINDOW", False);
  fImpl->wmProtocols = XInternAtom(fImpl->display, "WM_PROTOCOLS", False);
  fHook = fDesktop.AddIdleHook([this] { Sync(); });
}

TX11Presenter::~TX11Presenter() {
  fDesktop.RemoveIdleHook(fHook);
  for (auto& [handle, shown] : fImpl->shown) XDestroyWindow(fImpl->display, shown.xwindow);
  for (auto& [shape, cursor] : fImpl->fontCursors) XFreeCursor(fImpl->display, cursor);
  XCloseDisplay(fImpl->display);
}

bool TX11Presenter::DisplayAvailable(const std::string& displayName) {
  const char* name = displayName.empty() ? nullptr : displayName.c_str();
  if (!name) {
    const char* env = std::getenv("DISPLAY");
    if (!env || !*env) return false;
  }
  Display* d = XOpenDisplay(name);
  if (!d) return false;
  XCloseDisplay(d);
  return true;
}

std::uint64_t TX11Presenter::XWindowOf(WindowHandle topLevel) const {
  const auto it = fImpl->shown.find(topLevel);
  return it == fImpl->shown.end() ? 0 : it->second.xwindow;
}

WindowHandle TX11Presenter::TopLevelOf(std::uint64_t xwindow) const {
  for (const auto& [handle, shown] : fImpl->shown)
    if (shown.xwindow == xwindow) return handle;
  return 0;
}

// One redraw costs one copy of the window's pixels: the composition itself.
// The composed picture is ours alone, so it is brought into the visual's
// channel order in place (nothing to do for the usual 0x00RRGGBB visual) and
// handed to Xlib as the image data without another buffer.
void TX11Presenter::Put(WindowHandle topLevel, Shown& shown) {
  const auto picture = fDesktop.ComposeWindow(topLevel);
  if (!picture || picture->Width() == 0 || picture->Height() == 0) return;
  const int w = picture->Width(), h = picture->Height();
  if (!fImpl->identity) {
    auto place = [](std::uint32_t v, int shift) { return shift >= 0 ? v << shift : v >> -shift; };
    for (int y = 0; y < h; ++y) {
      std::uint32_t* row = picture->Row(y);
      for (int x = 0; x < w; ++x) {
        const std::uint32_t p = row[x];
        row[x] = place((p >> 16) & 0xFF, fImpl->redShift) |
                 place((p >> 8) & 0xFF, fImpl->greenShift) | place(p & 0xFF, fImpl->blueShift);
      }
    }
  }
  // The picture is one image surface: its rows follow each other at a fixed
  // stride, so the whole of it goes up in one request.
  const GC gc = DefaultGC(fImpl->display, fImpl->screen);
  XImage* image =
      XCreateImage(fImpl->display, fImpl->visual, static_cast<unsigned>(fImpl->depth), ZPixmap, 0,
                   reinterpret_cast<char*>(picture->Row(0)), static_cast<unsigned>(w),
                   static_cast<unsigned>(h), 32, picture->Stride());
  if (!image) return;
  XPutImage(fImpl->display, shown.xwindow, gc, image, 0, 0, 0, 0, static_cast<unsigned>(w),
            static_cast<unsigned>(h));
  image->data = nullptr;  // the picture owns the pixels
  XDestroyImage(image);
}

void TX11Presenter::HandleEvent(void* raw) {
  XEvent& ev = *static_cast<XEvent*>(raw);
  const WindowHandle top = TopLevelOf(ev.xany.window);
  if (!top || !fDesktop.IsWindow(top)) return;
  const TRect place = fDesktop.GetWindowRect(top);
  auto at = [&](int x, int y) { return TPoint{place.Left + x, place.Top + y}; };
  switch (ev.type) {
    case Expose:
      if (ev.xexpose.count == 0) fImpl->shown[top].generation = ~std::uint64_t{0};
      break;
    case ButtonPress:
    case ButtonRelease: {
      const TPoint p = at(ev.xbutton.x, ev.xbutton.y);
      const TShiftState s = ShiftFromState(ev.xbutton.state);
      const unsigned b = ev.xbutton.button;
      if (b == 4 || b == 5) {
        if (ev.type == ButtonPress) fDesktop.MouseWheel(p, b == 4 ? 120 : -120, s);
        break;
      }
      const TMouseButton button = b == 3 ? mbRight : b == 2 ? mbMiddle : mbLeft;
      if (ev.type == ButtonPress) {
        fDesktop.MouseDown(p, button, s);
      } else {
        fDesktop.MouseUp(p, button, s);
      }
      break;
    }
    case MotionNotify:
      fDesktop.MouseMove(at(ev.xmotion.x, ev.xmotion.y), ShiftFromState(ev.xmotion.state));
      break;
    case KeyPress:
    case KeyRelease: {
      char buffer[8];
      KeySym sym = 0;
      XLookupString(&ev.xkey, buffer, sizeof buffer, &sym, nullptr);
      const TVirtualKey vk = VirtualKeyOf(sym);
      const TShiftState s = ShiftFromState(ev.xkey.state);
      if (ev.type == KeyRelease) {
        if (vk) fDesktop.KeyUp(vk, s);
        break;
      }
      if (vk) fDesktop.KeyDown(vk, s);
      if (const char32_t ch = CharOf(sym, ev.xkey.state)) {
        std::string utf8;
        AppendCodePoint(utf8, ch);
        fDesktop.Chars(utf8);
      }
      break;
    }
    case ConfigureNotify: {
      // A window manager may have moved the window: follow it.
      Shown& s = fImpl->shown[top];
      if (!ev.xconfigure.send_event) break;
      const TRect b = fDesktop.GetBounds(top);
      const TRect moved{ev.xconfigure.x, ev.xconfigure.y, ev.xconfigure.x + b.Width(),
                        ev.xconfigure.y + b.Height()};
      if (moved != b) {
        s.bounds = moved;
        fDesktop.SetBounds(top, moved);
      }
      break;
    }
    case ClientMessage:
      if (ev.xclient.message_type == fImpl->wmProtocols &&
          static_cast<Atom>(ev.xclient.data.l[0]) == fImpl->wmDelete) {
        if (!OnCloseRequest || OnCloseRequest(top)) fDesktop.DestroyWindow(top);
      }
      break;
    default:
      break;
  }
}

int TX11Presenter::Sync() {
  Display* d = fImpl->display;
  int handled = 0;
  while (XPending(d) > 0) {
    XEvent ev;
    XNextEvent(d, &ev);
    HandleEvent(&ev);
    ++handled;
  }

  const std::vector<WindowHandle> tops = fDesktop.TopLevelWindows();
  // Windows that are gone.
  for (auto it = fImpl->shown.begin(); it != fImpl->shown.end();) {
    if (std::find(tops.begin(), tops.end(), it->first) == tops.end()) {
      XDestroyWindow(d, it->second.xwindow);
      it = fImpl->shown.erase(it);
    } else {
      ++it;
    }
  }
  std::vector<Window> order;  // mapped X windows, bottom first
  for (WindowHandle top : tops) {
    const bool visible = fDesktop.IsWindowVisible(top);
    auto found = fImpl->shown.find(top);
    if (found == fImpl->shown.end()) {
      if (!visible) continue;
      const TRect b = fDesktop.GetBounds(top);
      Shown s;
      XSetWindowAttributes attrs{};
      const TWindowStyle style = fDesktop.GetStyle(top);
      attrs.override_redirect = (style & (wsPopup | wsTopmost)) ? True : False;
      attrs.background_pixel = 0;
      attrs.event_mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask |
                         KeyReleaseMask | ExposureMask | StructureNotifyMask;
      s.xwindow = XCreateWindow(d, RootWindow(d, fImpl->screen), b.Left, b.Top,
                                static_cast<unsigned>(std::max(1, b.Width())),
                                static_cast<unsigned>(std::max(1, b.Height())), 0, fImpl->depth,
                                InputOutput, fImpl->visual,
                                CWOverrideRedirect | CWBackPixel | CWEventMask, &attrs);
      XSizeHints hints{};
      hints.flags = PPosition | PSize;
      hints.x = b.Left;
      hints.y = b.Top;
      hints.width = b.Width();
      hints.height = b.Height();
      XSetWMNormalHints(d, s.xwindow, &hints);
      XStoreName(d, s.xwindow, fDesktop.GetCaption(top).c_str());
      XSetWMProtocols(d, s.xwindow, &fImpl->wmDelete, 1);
      s.bounds = b;
      found = fImpl->shown.emplace(top, s).first;
      fImpl->cursor = INT_MIN;  // the new window gets the cursor below
    }
    Shown& s = found->second;
    if (!visible) {
      if (s.mapped) XUnmapWindow(d, s.xwindow);
      s.mapped = false;
      continue;
    }
    const TRect b = fDesktop.GetBounds(top);
    if (b != s.bounds) {
      XMoveResizeWindow(d, s.xwindow, b.Left, b.Top, static_cast<unsigned>(std::max(1, b.Width())),
                        static_cast<unsigned>(std::max(1, b.Height())));
      s.bounds = b;
      s.generation = ~std::uint64_t{0};
    }
    if (!s.mapped) {
      XMapRaised(d, s.xwindow);
      s.mapped = true;
      s.generation = ~std::uint64_t{0};
    }
    order.push_back(s.xwindow);
    const std::uint64_t g = fDesktop.Generation(top);
    if (g != s.generation) {
      Put(top, s);
      s.generation = g;
    }
  }
  // The mouse shows the desktop's current cursor.
  const int cursor = ScreenCursors().CurrentCursor(fDesktop);
  if (cursor != fImpl->cursor) {
    const unsigned shape = FontCursorOf(cursor);
    auto found = fImpl->fontCursors.find(shape);
    if (found == fImpl->fontCursors.end())
      found = fImpl->fontCursors.emplace(shape, XCreateFontCursor(d, shape)).first;
    for (const auto& [handle, shown] : fImpl->shown) XDefineCursor(d, shown.xwindow, found->second);
    fImpl->cursor = cursor;
  }
  // Keep the desktop's stacking order (X wants it top first).
  if (order != fImpl->order) {
    fImpl->order = order;
    std::vector<Window> topFirst(order.rbegin(), order.rend());
    if (topFirst.size() > 1) XRestackWindows(d, topFirst.data(), static_cast<int>(topFirst.size()));
  }
  XFlush(d);
  return handled;
}

}  // namespace tarvo::platform
