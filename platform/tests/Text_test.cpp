#include "platform/Text.h"

#include <gtest/gtest.h>
