#include "platform/core/ThreadChecker.h"

#if defined(TARVO_THREAD_CHECKS)

#include <sstream>

namespace tarvo::platform {

void ThreadChecker::Fail(const char* what) const {
  std::ostringstream text;
  text << (what != nullptr ? what : "a method") << " called on the wrong thread (thread "
       << std::this_thread::get_id() << "; the object belongs to thread " << fOwner.load() << ")";
  throw std::logic_error(text.str());
}

}  // namespace tarvo::platform

#endif
