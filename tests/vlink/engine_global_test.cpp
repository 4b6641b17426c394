// Inside the engine the library-manager table lives in the engine's own
// global; the driver's weak stand-in must give way to it.
#include <gtest/gtest.h>

#include "ica_engine.h"

extern "C" {
__attribute__((visibility("default"))) void *g_pLibMgrCallTable = nullptr;
}

TEST(VlinkInsideTheEngine, LoadStoresTheTableInTheEnginesGlobal) {
    IcaEngine engine;
    ASSERT_TRUE(engine.load(VLINK_PATH)) << engine.error();
    EXPECT_EQ(g_pLibMgrCallTable, engine.library_manager_table());
    EXPECT_EQ(reinterpret_cast<void *(*)()>(engine.symbol("VdLibMgr"))(),
              engine.library_manager_table());
    // The driver's own definition stays unused.
    auto *own = static_cast<void **>(engine.symbol("g_pLibMgrCallTable"));
    ASSERT_NE(own, nullptr);
    EXPECT_NE(own, &g_pLibMgrCallTable);
    EXPECT_EQ(*own, nullptr);
}
