// Handles that name objects of other platform parts without pulling those
// parts in: a header that only passes a window along (the HTTP layer's
// dialogs, say) includes this instead of the message queue or the window
// system.
#pragma once

#include <cstdint>

namespace tarvo::platform {

// A window as the UI-thread message queue knows it (platform/system/
// MessageQueue.h registers and looks them up); 0 names no window.
using WindowHandle = std::uintptr_t;

}  // namespace tarvo::platform
