// Heap exhaustion on demand: the library's allocation after `allocations_before_failure` more
// succeed fails, once.
#pragma once

#include "runtime/memory.h"

using tavo::allocations_before_failure;
