#include "daemon/globals.h"
