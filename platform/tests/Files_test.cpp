#include "platform/Files.h"

#include <gtest/gtest.h>
