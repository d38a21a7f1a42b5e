#include "platform/DateTime.h"
