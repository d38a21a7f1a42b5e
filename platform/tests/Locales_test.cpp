#include "platform/Locales.h"

#include <gtest/gtest.h>
