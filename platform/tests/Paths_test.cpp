#include "platform/Paths.h"

#include <gtest/gtest.h>
