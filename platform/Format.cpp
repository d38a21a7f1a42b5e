#include "platform/Format.h"
