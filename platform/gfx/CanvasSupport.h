// What the drawing library asks of the platform besides the canvas itself:
// whether the accelerated back end can run here. (The host's command line,
// from which the back end is chosen, comes from ProcessArguments in
// platform/system/Process.h.)
//
// Threads: any. The probe is a process-wide setting; replace it before the
// code that asks runs (tests set it at their start).
#pragma once

#include <functional>

namespace tarvo::platform {

// Whether the accelerated (layered, antialiased) drawing back end is
// supported. Every machine that runs the canvas supports it, so the real
// answer is yes; tests replace the probe to see the fallback.
bool IsDirect2DSupported();

// Replaces the probe; an empty function restores the real answer.
void SetDirect2DSupportedProbe(std::function<bool()> probe);

}  // namespace tarvo::platform
