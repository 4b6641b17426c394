#include "cmediator.h"

#include <dlfcn.h>

#include "wrappers.h"

extern "C" {
void *hClientMediatorHandle = nullptr;
std::atomic<ClientRegisterFarFunction_t> pfClientRegisterFarFunction{nullptr};
std::atomic<ClientRegisterCallBackFunction_t> pfClientRegisterResultCallBackFunction{nullptr};
std::atomic<ClientRegisterCallBackFunction_t> pfClientRegisterEventCallBackFunction{nullptr};
std::atomic<ClientMakeEventCallBackFunction_t> pfClientMakeEventCallBackFunction{nullptr};
std::atomic<ClientRegisterServerConnection_t> pfClientRegisterServerConnection{nullptr};
ServerSessionInfo serverSessionInfo = {-1, 2044, {0}};
}

namespace {

// Resolves one entry into its pointer; false (with the report) when missing.
template <typename Fn>
bool resolve(std::atomic<Fn> &entry, const char *symbol, const char *missing_name) {
    TRACE_INFO("dlsym of (%s)!", symbol);
    void *address = dlsym(hClientMediatorHandle, symbol);
    if (address == nullptr) {
        trace_error(__FILE_NAME__, __LINE__, "LoadTheMediatorDLLInterface", false, "error on - %s!",
                    missing_name);
        return false;
    }
    entry.store(reinterpret_cast<Fn>(address));
    return true;
}

}  // namespace

extern "C" bool LoadTheMediatorDLLInterface(void) {
    TRACE_SCOPE();
    if (hClientMediatorHandle != nullptr) {
        TRACE_INFO("MediatorInterface:: inkagent.so is allread loaded");
        return true;
    }
    TRACE_INFO("MediatorInterface:: start to load the modules from libinkagent.so...");
    // The plain file name, so that the dynamic linker's search path decides.
    hClientMediatorHandle = dlopen("libinkagent.so", RTLD_LAZY);
    if (hClientMediatorHandle == nullptr) {
        const char *why = dlerror();
        TRACE_ERROR("libinkagent.so not loaded: error: %s", why != nullptr ? why : "(unknown)");
        return false;
    }
    if (!resolve(pfClientRegisterFarFunction, "ClientRegisterFarFunction",
                 "ClientRegisterFarFunction") ||
        !resolve(pfClientRegisterResultCallBackFunction, "ClientRegisterResultCallBackFunction",
                 "ClientRegisterResultCallBackFunction") ||
        !resolve(pfClientRegisterEventCallBackFunction, "ClientRegisterEventCallBackFunction",
                 "ClientRegisterEventCallBackFunction") ||
        !resolve(pfClientMakeEventCallBackFunction, "ClientMakeEventCallBackFunction",
                 "pfClientMakeEventCallBackFunction") ||
        !resolve(pfClientRegisterServerConnection, "ClientRegisterServerConnection",
                 "pfClientRegisterServerConnection"))
        return false;
    TRACE_INFO("MediatorInterface:: libinkagent.so is loaded");
    return true;
}

void mediator_register(InkagentCallback result, InkagentCallback event) {
    TRACE_SCOPE();
    TRACE_INFO("MediatorInterface:: Register callback function in mediator DLL");
    if (auto registration = pfClientRegisterResultCallBackFunction.load())
        registration(result);
    if (auto registration = pfClientRegisterEventCallBackFunction.load())
        registration(event);
}

extern "C" void ResetTheMediatorDLLInterface(void) {
    TRACE_SCOPE();
    TRACE_INFO("MediatorInterface:: DeRegister callback function in mediator DLL");
    if (auto registration = pfClientRegisterResultCallBackFunction.load())
        registration(nullptr);
    if (auto registration = pfClientRegisterEventCallBackFunction.load())
        registration(nullptr);
}

bool mediator_release(AgentRelease how) {
    TRACE_SCOPE();
    pfClientRegisterFarFunction.store(nullptr);
    pfClientRegisterResultCallBackFunction.store(nullptr);
    pfClientRegisterEventCallBackFunction.store(nullptr);
    pfClientMakeEventCallBackFunction.store(nullptr);
    pfClientRegisterServerConnection.store(nullptr);
    if (hClientMediatorHandle == nullptr)
        return true;
    bool released = true;
    if (how == AgentRelease::unload) {
        TRACE_INFO("Going to call dlclose();");
        if (dlclose(hClientMediatorHandle) != 0) {
            const char *why = dlerror();
            TRACE_ERROR("dlclose(): %s", why != nullptr ? why : "(unknown)");
            released = false;
        }
    }
    hClientMediatorHandle = nullptr;
    return released;
}

void mediator_report_no_connection() {
    if (auto report = pfClientRegisterServerConnection.load())
        report(0);
}
