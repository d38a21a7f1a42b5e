// Top-level windows of the desktop: class name, title and owning process.
//
// Windows code finds other programs by their windows (is the terminal still
// running? which window belongs to that process?). On Linux the toolkit's
// programs have no windows that other processes could see, so the real
// enumerator lists none, except the windows described by the file that
// TARVO_WINDOW_LIST names, read again on every call: a test starts a program
// in a child process and makes it see "the terminal's window" that way. One
// window per line, fields separated by tabs: class name, title, process id;
// lines that do not have those three fields are skipped.
//
// Tests inside one process swap in a FakeWindowEnumerator (SetWindowEnumerator).
// Everything here is thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/system/MessageQueue.h"

namespace tarvo::platform {

struct TopLevelWindow {
  WindowHandle handle = 0;
  std::string className;
  std::string title;
  std::uint32_t processId = 0;
};

class WindowEnumerator {
 public:
  virtual ~WindowEnumerator() = default;
  // A snapshot, in Z order (top first).
  virtual std::vector<TopLevelWindow> TopLevelWindows() = 0;
};

// The enumerator in use: the real one unless replaced.
WindowEnumerator& Windows();
// Replaces it (nullptr restores the real one).
void SetWindowEnumerator(std::shared_ptr<WindowEnumerator> enumerator);
// The windows of the enumerator in use.
std::vector<TopLevelWindow> EnumTopLevelWindows();

// A desktop that a test fills.
class FakeWindowEnumerator : public WindowEnumerator {
 public:
  // Puts a window on top of the others and returns its handle.
  WindowHandle Add(std::string className, std::string title, std::uint32_t processId);
  bool Remove(WindowHandle handle);
  void Clear();
  std::vector<TopLevelWindow> TopLevelWindows() override;

 private:
  std::mutex fMutex;
  std::vector<TopLevelWindow> fWindows;  // top first
  WindowHandle fNext = 0x1000;
};

}  // namespace tarvo::platform
