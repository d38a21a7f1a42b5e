// What the drawing library asks of the platform besides the canvas itself:
// the host process's command-line arguments (the drawing back end is chosen
// from a switch there) and whether the accelerated back end can run here.
//
// Threads: any. The probe is a process-wide setting; replace it before the
// code that asks runs (tests set it at their start).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tarvo::platform {

// The arguments the process was started with, without the program itself
// (argv[1..]); empty when they cannot be read.
std::vector<std::string> ProcessArguments();

// Whether the accelerated (layered, antialiased) drawing back end is
// supported. Every machine that runs the canvas supports it, so the real
// answer is yes; tests replace the probe to see the fallback.
bool IsDirect2DSupported();

// Replaces the probe; an empty function restores the real answer.
void SetDirect2DSupportedProbe(std::function<bool()> probe);

}  // namespace tarvo::platform
