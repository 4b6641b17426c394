// Load failures of the agent binding. The test runs once per stand-in agent
// that lacks an entry, and once without any agent; INKAGENT_MISSING says
// which: "absent", or the number (1..5) of the missing entry.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include "cmediator.h"
#include "netbridge_internal.h"

namespace {

bool entry_set(int n) {
    switch (n) {
        case 1:
            return pfClientRegisterFarFunction.load() != nullptr;
        case 2:
            return pfClientRegisterResultCallBackFunction.load() != nullptr;
        case 3:
            return pfClientRegisterEventCallBackFunction.load() != nullptr;
        case 4:
            return pfClientMakeEventCallBackFunction.load() != nullptr;
        default:
            return pfClientRegisterServerConnection.load() != nullptr;
    }
}

bool agent_mapped() {
    void *h = dlopen("libinkagent.so", RTLD_LAZY | RTLD_NOLOAD);
    if (h != nullptr)
        dlclose(h);
    return h != nullptr;
}

}  // namespace

TEST(AgentLoad, FailureKeepsWhatWasResolvedUntilTheRelease) {
    const char *missing_env = getenv("INKAGENT_MISSING");
    ASSERT_NE(missing_env, nullptr);
    const std::string missing = missing_env;
    const int missing_entry = missing == "absent" ? 0 : atoi(missing_env);
    const char *const reports[] = {
        "",
        "error on - ClientRegisterFarFunction!",
        "error on - ClientRegisterResultCallBackFunction!",
        "error on - ClientRegisterEventCallBackFunction!",
        "error on - pfClientMakeEventCallBackFunction!",
        "error on - pfClientRegisterServerConnection!",
    };

    testing::internal::CaptureStderr();
    EXPECT_FALSE(LoadTheMediatorDLLInterface());
    std::string err = testing::internal::GetCapturedStderr();
    if (missing_entry == 0) {
        EXPECT_NE(err.find("libinkagent.so not loaded: error: "), std::string::npos) << err;
        EXPECT_EQ(hClientMediatorHandle, nullptr);
    } else {
        EXPECT_NE(err.find(reports[missing_entry]), std::string::npos) << err;
        EXPECT_NE(hClientMediatorHandle, nullptr);
        EXPECT_TRUE(agent_mapped());
    }
    for (int n = 1; n <= 5; ++n)
        EXPECT_EQ(entry_set(n), n < missing_entry) << "entry " << n;

    ResetTheMediatorDLLInterface();
    EXPECT_TRUE(FreeTheMediatorDLLInterface());
    EXPECT_EQ(hClientMediatorHandle, nullptr);
    for (int n = 1; n <= 5; ++n)
        EXPECT_FALSE(entry_set(n)) << "entry " << n;
    EXPECT_FALSE(agent_mapped());
}

TEST(AgentLoad, DriverOpenFailsWithoutListening) {
    set_ip("127.0.0.1");
    set_port("0");
    testing::internal::CaptureStderr();
    EXPECT_EQ(DriverOpen(), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("faled to load libinkagent.so"), std::string::npos) << err;
    EXPECT_EQ(a_socket.load(), -1);
    EXPECT_EQ(DriverClose(), 0);
    EXPECT_EQ(hClientMediatorHandle, nullptr);
    EXPECT_FALSE(agent_mapped());
}
