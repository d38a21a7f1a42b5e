#include "platform/system/WindowList.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "platform/core/Text.h"

namespace tarvo::platform {

namespace {

class DesktopEnumerator final : public WindowEnumerator {
 public:
  std::vector<TopLevelWindow> TopLevelWindows() override {
    std::vector<TopLevelWindow> out;
    const char* path = std::getenv("TARVO_WINDOW_LIST");
    if (!path || !*path) return out;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    WindowHandle handle = 0x100;
    while (std::getline(in, line)) {
      ++handle;  // a window keeps its handle while the lines above it stay
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const auto fields = SplitString(line, '\t');
      if (fields.size() != 3) continue;
      char* end = nullptr;
      const unsigned long pid = std::strtoul(fields[2].c_str(), &end, 10);
      if (fields[2].empty() || *end != '\0' || pid > 0xFFFFFFFFul) continue;
      out.push_back({handle, fields[0], fields[1], static_cast<std::uint32_t>(pid)});
    }
    return out;
  }
};

std::mutex gLock;
std::shared_ptr<WindowEnumerator> gEnumerator;

std::shared_ptr<WindowEnumerator> Current() {
  static auto real = std::make_shared<DesktopEnumerator>();
  std::lock_guard lock(gLock);
  return gEnumerator ? gEnumerator : real;
}

}  // namespace

WindowEnumerator& Windows() {
  static std::mutex keepLock;
  static std::vector<std::shared_ptr<WindowEnumerator>> keep;  // references stay valid
  auto e = Current();
  std::lock_guard lock(keepLock);
  if (std::find(keep.begin(), keep.end(), e) == keep.end()) keep.push_back(e);
  return *e;
}

void SetWindowEnumerator(std::shared_ptr<WindowEnumerator> enumerator) {
  std::lock_guard lock(gLock);
  gEnumerator = std::move(enumerator);
}

std::vector<TopLevelWindow> EnumTopLevelWindows() {
  return Current()->TopLevelWindows();
}

WindowHandle FakeWindowEnumerator::Add(std::string className, std::string title,
                                       std::uint32_t processId) {
  std::lock_guard lock(fMutex);
  const WindowHandle h = fNext++;
  fWindows.insert(fWindows.begin(), {h, std::move(className), std::move(title), processId});
  return h;
}

bool FakeWindowEnumerator::Remove(WindowHandle handle) {
  std::lock_guard lock(fMutex);
  return std::erase_if(fWindows, [handle](const TopLevelWindow& w) { return w.handle == handle; }) >
         0;
}

void FakeWindowEnumerator::Clear() {
  std::lock_guard lock(fMutex);
  fWindows.clear();
}

std::vector<TopLevelWindow> FakeWindowEnumerator::TopLevelWindows() {
  std::lock_guard lock(fMutex);
  return fWindows;
}

}  // namespace tarvo::platform
