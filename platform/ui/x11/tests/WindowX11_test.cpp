#include "platform/ui/x11/WindowX11.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "testing/Pixels.h"

// Xlib's macros (None, Bool, Status ...) come last, after every C++ header.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

extern char** environ;

using namespace tarvo;
using namespace tarvo::platform;
using tarvo::testing::RGB;

namespace {

std::string FindProgram(const char* name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path && *path ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

// A real Xvfb server on a free display number, stopped at the end. It does
// not reset when its last client leaves (a reset refuses connections for a
// moment, which would race with the next connection).
class Xvfb {
 public:
  // Starts the server and waits until it accepts connections. Empty error
  // text on success.
  std::string Start(const std::string& binary) {
    for (int n = 73; n < 200; ++n) {
      const std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
      const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
      struct stat st;
      if (stat(lock.c_str(), &st) == 0 || stat(socket.c_str(), &st) == 0) continue;
      display = ":" + std::to_string(n);
      std::vector<std::string> args = {binary,       display,     "-screen", "0",
                                       "640x480x24", "-nolisten", "tcp",     "-noreset"};
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
      posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
      const int rc = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
      posix_spawn_file_actions_destroy(&actions);
      if (rc != 0) return "posix_spawn failed: " + std::to_string(rc);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
      while (std::chrono::steady_clock::now() < deadline) {
        if (Display* d = XOpenDisplay(display.c_str())) {
          XCloseDisplay(d);
          return {};
        }
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {  // lost a race for the number: try the next
          pid = -1;
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      if (pid > 0) return "Xvfb did not accept connections on " + display;
    }
    return "no free display number";
  }
  ~Xvfb() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      int status = 0;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
          kill(pid, SIGKILL);
          waitpid(pid, &status, 0);
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
  }
  std::string display;
  pid_t pid = -1;
};

// Paints a blue client with a yellow square at (20, 20)-(60, 60), and logs
// presses and characters.
class Painter : public TWindowProc {
 public:
  void WindowPaint(WindowHandle, TCanvas& canvas, const TRegion&) override {
    canvas.Brush() = TBrush{RGB(0, 0, 200), bsSolid};
    canvas.FillRect({0, 0, 200, 150});
    canvas.Brush() = TBrush{square, bsSolid};
    canvas.FillRect({20, 20, 60, 60});
  }
  void WindowMouseDown(WindowHandle, TMouseButton b, TShiftState, TPoint p) override {
    events.push_back("down" + std::to_string(b) + "(" + std::to_string(p.X) + "," +
                     std::to_string(p.Y) + ")");
  }
  void WindowMouseUp(WindowHandle, TMouseButton b, TShiftState, TPoint p) override {
    events.push_back("up" + std::to_string(b) + "(" + std::to_string(p.X) + "," +
                     std::to_string(p.Y) + ")");
  }
  void WindowChar(WindowHandle, char32_t c) override {
    events.push_back("char" + std::to_string(c));
  }
  std::vector<std::string> events;
  TColor square = RGB(255, 255, 0);
};

// The pixel of the root window at (x, y) as a TColor (0x00BBGGRR).
TColor ServerPixel(Display* d, int x, int y) {
  XImage* image = XGetImage(d, DefaultRootWindow(d), x, y, 1, 1, AllPlanes, ZPixmap);
  if (!image) return 0xFFFFFFFF;
  const unsigned long p = XGetPixel(image, 0, 0);
  XDestroyImage(image);
  return RGB(static_cast<int>((p >> 16) & 0xFF), static_cast<int>((p >> 8) & 0xFF),
             static_cast<int>(p & 0xFF));
}

TEST(X11Presenter, APresentedWindowShowsThePaintedPixelsAndReceivesAClick) {
  const std::string binary = FindProgram("Xvfb");
  if (binary.empty()) GTEST_SKIP() << "the Xvfb program is not installed";
  Xvfb server;
  const std::string error = server.Start(binary);
  ASSERT_EQ(error, "");

  Painter painter;
  MessageQueue queue;
  TDesktop::Options options;
  options.ScreenWidth = 640;
  options.ScreenHeight = 480;
  options.Queue = &queue;
  TDesktop desktop(options);
  {
    TX11Presenter presenter(desktop, server.display);
    TCreateParams params;
    params.Bounds = {50, 40, 250, 190};
    params.Caption = "presenter test";
    const WindowHandle window = desktop.CreateWindow(params, &painter);

    // The test's own connection reads the server's pixels and sends input.
    Display* probe = XOpenDisplay(server.display.c_str());
    ASSERT_NE(probe, nullptr);
    const bool shown = desktop.RunUntil(
        [&] {
          return ServerPixel(probe, 50 + 30, 40 + 30) == RGB(255, 255, 0) &&
                 ServerPixel(probe, 50 + 100, 40 + 100) == RGB(0, 0, 200);
        },
        10000);
    EXPECT_TRUE(shown) << "yellow square: "
                       << tarvo::testing::ColorName(ServerPixel(probe, 80, 70));
    EXPECT_EQ(ServerPixel(probe, 30, 30), RGB(0, 0, 0));  // outside: the empty root
    EXPECT_NE(presenter.XWindowOf(window), 0u);

    int major = 0, minor = 0, eventBase = 0, errorBase = 0;
    ASSERT_TRUE(XTestQueryExtension(probe, &eventBase, &errorBase, &major, &minor));
    XTestFakeMotionEvent(probe, DefaultScreen(probe), 50 + 70, 40 + 35, CurrentTime);
    XTestFakeButtonEvent(probe, 1, True, CurrentTime);
    XTestFakeButtonEvent(probe, 1, False, CurrentTime);
    const KeyCode a = XKeysymToKeycode(probe, XK_a);
    XTestFakeKeyEvent(probe, a, True, CurrentTime);
    XTestFakeKeyEvent(probe, a, False, CurrentTime);
    XFlush(probe);
    const bool got = desktop.RunUntil([&] { return painter.events.size() >= 3; }, 10000);
    EXPECT_TRUE(got);
    EXPECT_EQ(painter.events, (std::vector<std::string>{"down0(70,35)", "up0(70,35)", "char97"}));

    // A repaint reaches the screen too: only the square changes.
    painter.square = RGB(0, 160, 0);
    desktop.InvalidateRect(window, nullptr);
    const bool repainted = desktop.RunUntil(
        [&] { return ServerPixel(probe, 50 + 59, 40 + 59) == RGB(0, 160, 0); }, 10000);
    EXPECT_TRUE(repainted) << tarvo::testing::ColorName(ServerPixel(probe, 109, 99));
    EXPECT_EQ(ServerPixel(probe, 50 + 20, 40 + 20), RGB(0, 160, 0));
    EXPECT_EQ(ServerPixel(probe, 50 + 60, 40 + 60), RGB(0, 0, 200));
    EXPECT_EQ(ServerPixel(probe, 50 + 199, 40 + 149), RGB(0, 0, 200));  // the last pixel

    // A destroyed window leaves the screen.
    desktop.DestroyWindow(window);
    const bool gone =
        desktop.RunUntil([&] { return ServerPixel(probe, 80, 70) == RGB(0, 0, 0); }, 10000);
    EXPECT_TRUE(gone);
    XCloseDisplay(probe);
  }
}

}  // namespace
