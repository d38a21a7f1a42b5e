#include "platform/CodePage.h"

#include <gtest/gtest.h>
