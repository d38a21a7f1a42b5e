#include "platform/Format.h"

#include <gtest/gtest.h>
