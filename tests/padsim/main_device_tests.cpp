// main() of every device test executable (see padsim_add_device_tests).
//
// The tests and the virtual pads share one process, so the process itself
// needs libumockdev-preload; without it the program starts itself again with
// it, the way umockdev-wrapper would start it.
#include <sys/prctl.h>

#include <gtest/gtest.h>

#include "padsim.h"

int main(int argc, char **argv) {
    padsim::restart_under_preload(argv);
    // Emulated transfers are chains of short sleeps and wake-ups between
    // threads; the default timer slack of 50 us adds up.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
