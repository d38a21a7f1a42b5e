#include "platform/Resources.h"

#include <gtest/gtest.h>
