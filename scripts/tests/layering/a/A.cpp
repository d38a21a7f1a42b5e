#include "a/A.h"

#include <string>

#include "b/B.h"

int a() {
  return b() + static_cast<int>(std::string("a").size());
}
