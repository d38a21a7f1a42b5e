#include "platform/DateTime.h"

#include <gtest/gtest.h>
