#include "b/B.h"

#include <cstdio>
#include <unistd.h>

int b() { return std::puts("b") >= 0 ? 1 : 0; }
