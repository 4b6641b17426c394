// Binding the stand-in echo agent: loading, registration, release.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "bridge_test_util.h"
#include "cmediator.h"
#include "netbridge_internal.h"

namespace {

bool agent_mapped() {
    void *h = dlopen("libinkagent.so", RTLD_LAZY | RTLD_NOLOAD);
    if (h != nullptr)
        dlclose(h);
    return h != nullptr;
}

}  // namespace

TEST(Binding, SecondLoadFindsTheAgentLoaded) {
    setenv("LIBNETBRIDGE_DEBUG", "1", 1);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(LoadTheMediatorDLLInterface());
    void *handle = hClientMediatorHandle;
    EXPECT_TRUE(LoadTheMediatorDLLInterface());
    std::string out = testing::internal::GetCapturedStdout();
    unsetenv("LIBNETBRIDGE_DEBUG");
    EXPECT_EQ(hClientMediatorHandle, handle);
    EXPECT_NE(out.find("MediatorInterface:: inkagent.so is allread loaded"), std::string::npos)
        << out;
    const std::string loading = "start to load the modules from libinkagent.so";
    EXPECT_EQ(out.find(loading), out.rfind(loading)) << "loaded twice:\n" << out;
    EXPECT_NE(pfClientRegisterFarFunction.load(), nullptr);
    EXPECT_NE(pfClientRegisterServerConnection.load(), nullptr);

    EXPECT_TRUE(FreeTheMediatorDLLInterface());
    EXPECT_EQ(hClientMediatorHandle, nullptr);
    EXPECT_FALSE(agent_mapped());
}

TEST(Binding, UnbindingRemovesBothCallbacksBeforeTheRelease) {
    ASSERT_TRUE(LoadTheMediatorDLLInterface());
    {
        // Holding the agent ourselves keeps its counters readable after the
        // bridge lets go of it.
        bridge_test::AgentControls agent;
        ASSERT_TRUE(agent.ok());
        const EchoAgentCounters before = agent.counters();
        InitTheMediatorDLLInterface();
        EXPECT_EQ(agent.counters().registrations, before.registrations + 2);
        ResetTheMediatorDLLInterface();
        EXPECT_TRUE(FreeTheMediatorDLLInterface());
        EXPECT_EQ(agent.counters().removals, before.removals + 2);
        EXPECT_EQ(pfClientRegisterResultCallBackFunction.load(), nullptr);
        EXPECT_EQ(pfClientRegisterEventCallBackFunction.load(), nullptr);
    }
    EXPECT_FALSE(agent_mapped());
}
