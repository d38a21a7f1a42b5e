#include "platform/Locales.h"
