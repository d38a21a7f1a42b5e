#include "platform/gfx/CanvasSupport.h"

#include <mutex>

namespace tarvo::platform {

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
