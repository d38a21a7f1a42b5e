#include "b/B.h"

#include <unistd.h>
#include <cstdio>

int b() {
  return std::puts("b") >= 0 ? 1 : 0;
}
