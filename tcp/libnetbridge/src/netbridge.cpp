#include "wrappers.h"

// The channel driver arrives with the bridge work; until then the library
// carries only its runtime support.
