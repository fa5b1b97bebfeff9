#include "support/Browser.h"
