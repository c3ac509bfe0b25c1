#include "ConnectionManager.h"
