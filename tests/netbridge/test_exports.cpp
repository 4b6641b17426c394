// The library exports exactly its interface, under the plain C names.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

TEST(Exports, ExactlyTheBridgeInterface) {
    const std::set<std::string> expected = {
        // channel driver and its state
        "set_ip",
        "set_port",
        "set_allow",
        "set_exclusive",
        "set_idle_timeout",
        "DriverOpen",
        "DriverClose",
        "DriverSendData",
        "DriverPoll",
        "DriverInfo",
        "DriverQueryInformation",
        "DriverSetInformation",
        "DriverGetLastError",
        "DriverRegisterLoggingCallBack",
        "hostname",
        "port",
        "a_socket",
        "sockfd",
        "need_accepting",
        "need_listening",
        "do_driver_close",
        "do_not_touch_libinkagent",
        "general_lock",
        "need_accepting_lock",
        "need_listening_lock",
        "wait_at_lock",
        "wait_lt_lock",
        "send_lock",
        // dispatch and callbacks
        "ICADataArrival",
        "DriverResultProcessorFunction",
        "DriverEventProcessorFunction",
        "GetTimeStamp",
        // agent binding
        "LoadTheMediatorDLLInterface",
        "InitTheMediatorDLLInterface",
        "ResetTheMediatorDLLInterface",
        "FreeTheMediatorDLLInterface",
        "hClientMediatorHandle",
        "serverSessionInfo",
        "pfClientRegisterFarFunction",
        "pfClientRegisterResultCallBackFunction",
        "pfClientRegisterEventCallBackFunction",
        "pfClientMakeEventCallBackFunction",
        "pfClientRegisterServerConnection",
        // socket layer
        "tcp_listen",
        "Tcp_listen",
        "tcp_connect",
        "Tcp_connect",
        "send_data",
        "recv_data",
        "close_socket",
        "sock_ntop",
        "Sock_ntop",
        "sock_ntop_host",
        "Sock_ntop_host",
        "sock_bind_wild",
        "Sock_bind_wild",
        "sock_cmp_addr",
        "sock_cmp_port",
        "sock_get_port",
        "sock_set_addr",
        "sock_set_port",
        "sock_set_wild",
    };
    std::string command = std::string("nm -D --defined-only ") + NETBRIDGE_LIBRARY;
    FILE *nm = popen(command.c_str(), "r");
    ASSERT_NE(nm, nullptr);
    std::set<std::string> exported;
    char line[512];
    while (fgets(line, sizeof line, nm) != nullptr) {
        char address[64], kind[8], name[400];
        if (sscanf(line, "%63s %7s %399s", address, kind, name) != 3 || std::string(kind) == "A")
            continue;  // the version node
        std::string symbol = name;
        exported.insert(symbol.substr(0, symbol.find('@')));
    }
    ASSERT_EQ(pclose(nm), 0);
    EXPECT_EQ(exported, expected);
}
