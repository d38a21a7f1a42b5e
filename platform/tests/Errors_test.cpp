#include "platform/Errors.h"

#include <gtest/gtest.h>
