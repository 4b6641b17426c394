// Both bridge libraries compile this folder; what either exports is marked
// here and listed in that library's version script.
#pragma once

#define BRIDGE_EXPORT __attribute__((visibility("default")))
