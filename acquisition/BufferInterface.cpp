#include "BufferInterface.h"
