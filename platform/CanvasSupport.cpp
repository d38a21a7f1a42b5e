#include "platform/CanvasSupport.h"

#include <fstream>
#include <iterator>
#include <mutex>

namespace tarvo::platform {

std::vector<std::string> ProcessArguments() {
  // The kernel keeps the arguments as NUL-terminated strings, one after
  // another, the program first.
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  if (!in) return {};
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  size_t start = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i] == '\0') {
      args.push_back(all.substr(start, i - start));
      start = i + 1;
    }
  }
  if (start < all.size()) args.push_back(all.substr(start));
  if (!args.empty()) args.erase(args.begin());
  return args;
}

namespace {
std::mutex gProbeLock;
std::function<bool()>& Probe() {
  static std::function<bool()> probe;
  return probe;
}
}  // namespace

bool IsDirect2DSupported() {
  std::function<bool()> probe;
  {
    std::lock_guard lock(gProbeLock);
    probe = Probe();
  }
  // The layered back end is drawn by the same engine as the others, so it is
  // there wherever the canvas is.
  return probe ? probe() : true;
}

void SetDirect2DSupportedProbe(std::function<bool()> probe) {
  std::lock_guard lock(gProbeLock);
  Probe() = std::move(probe);
}

}  // namespace tarvo::platform
