#include "ThreadWorker.h"
