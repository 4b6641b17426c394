// The one mark of a name the library exports; everything else is hidden
// (-fvisibility=hidden), and the version script keeps the set exact.
#pragma once

#define EXPORT __attribute__((visibility("default")))
