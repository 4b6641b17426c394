#include "wrappers.h"

// The virtual driver arrives with the channel work; until then the library
// carries only its runtime support.
