#include "QuickExit.h"

#include <cstdio>
#include <unistd.h>

void QuickExit::now(int code)
{
    std::fflush(nullptr);
    ::_exit(code);
}
