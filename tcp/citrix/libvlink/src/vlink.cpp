// The ICA client virtual driver: carries the package stream over the virtual
// channel "vlink". Inbound channel data arrives through the hook registered
// at open and goes to the agent package by package; the agent's results are
// written through the engine at once when the engine takes them, and its
// events (and the results it refused) wait in the package queue for the
// engine's next poll.
#include "vlink.h"

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "cmediator.h"
#include "cpackage.h"
#include "cpackqueue.h"
#include "dispatch.h"
#include "ratelimit.h"
#include "wrappthread.h"

extern "C" {
void *GlobalReadDataTmpPtr = nullptr;
std::atomic<void *> pWd{nullptr};
std::atomic<ica::WriteFunction> pQueueVirtualWrite{nullptr};
__attribute__((weak)) void *g_pLibMgrCallTable = nullptr;
uint8_t VdData[32] = {};
int (*libvlink_WrapLoad)(void *) = &Load;
}

namespace {

constexpr char kChannelName[] = "vlink";
constexpr uint16_t kProcedureCount = 8;
// Answered by the open entry and the info entry in *size.
constexpr uint16_t kOpenSize = 48;
constexpr uint16_t kInfoSize = 16;
constexpr uint16_t kQuerySize = 24;
constexpr uint16_t kInfoRecordSize = sizeof(ica::DriverInfo);
// Twice a package buffer; kept for the engine's sake, nothing reads it.
constexpr size_t kReadAreaSize = 2 * MAX_PACKAGE_TOTAL_SIZE;
// Every write the bridge makes is one whole package.
constexpr uint16_t kWriteFlag = 1;
// A function id of 0 asks for the package back, untouched by the agent.
constexpr uint8_t kTestModeFunction = 0;
// Packages (and their bytes) waiting for the engine, at most: beyond them
// events give way, oldest first, so that an engine that stops taking writes
// costs a bounded amount of memory. Results that find no event to give way
// mean that nobody takes them: the agent is told the connection is gone.
constexpr size_t kMaxQueued = 256;
constexpr size_t kMaxQueuedBytes = 256 * 1024;

std::atomic<uint16_t> channel_number{0};
uint16_t gusMaxDataSize = 0;
// The first poll after Load only clears the flag.
uint16_t first_poll = 1;

// The agent may be inside a result or event callback on its own thread
// when the engine closes the driver. Close waits here, after the callbacks
// have been removed from the agent, until none is running any more, so that
// no callback can touch the package queue once it is released; a callback
// that starts after close finds the gate shut and does nothing.
class CallbackGate {
  public:
    void open() {
        std::lock_guard<std::mutex> guard(lock_);
        open_ = true;
    }
    // Shuts the gate and waits for the callbacks already inside.
    void shut_and_wait() {
        std::unique_lock<std::mutex> guard(lock_);
        open_ = false;
        idle_.wait(guard, [this] { return running_ == 0; });
    }
    bool enter() {
        std::lock_guard<std::mutex> guard(lock_);
        if (!open_)
            return false;
        running_++;
        return true;
    }
    void leave() {
        std::lock_guard<std::mutex> guard(lock_);
        if (--running_ == 0)
            idle_.notify_all();
    }

  private:
    std::mutex lock_;
    std::condition_variable idle_;
    bool open_ = false;
    int running_ = 0;
};

CallbackGate callback_gate;

class CallbackPass {
  public:
    CallbackPass() : entered_(callback_gate.enter()) {}
    ~CallbackPass() {
        if (entered_)
            callback_gate.leave();
    }
    explicit operator bool() const { return entered_; }
    CallbackPass(const CallbackPass &) = delete;
    CallbackPass &operator=(const CallbackPass &) = delete;

  private:
    bool entered_;
};

ica::Instance *as_instance(void *instance) {
    return static_cast<ica::Instance *>(instance);
}

int call_wd_information(void *instance, uint16_t function, uint32_t information_class, void *record,
                        uint16_t record_length) {
    ica::InformationRequest request{};
    request.ulClass = information_class;
    request.pData = record;
    request.usLength = record_length;
    uint16_t size = sizeof request;
    return VdCallWd(instance, function, &request, &size);
}

// Heap-allocated, framed as the given type. Null when the agent's bytes
// cannot be a package (no whole header, or too long to ever be written, so
// it would block the queue for good); nothing is then written or queued.
CPackage *outbound_package(void *bytes, int length, PackageType type, const char *caller) {
    auto *package = new (std::nothrow) CPackage();
    if (package == nullptr) {
        trace_error(__FILE_NAME__, __LINE__, caller, false, "no memory for a package");
        return nullptr;
    }
    if (!frame_outbound(*package, bytes, length, {type, false, caller})) {
        delete package;
        return nullptr;
    }
    return package;
}

// Queues a package for the poll, within kMaxQueued and kMaxQueuedBytes;
// each burst of dropped events is reported once. False when a result
// overflowed the queue: it is gone with every package behind the front.
bool queue_for_poll(CPackage *package, const char *caller) {
    static RecordLimit overflow_records;
    bool burst_began = false;
    const auto outcome = CPackageQueue::theInstance.load()->PushBounded(
        package, kMaxQueued, kMaxQueuedBytes, &burst_began);
    if (burst_began)
        trace_error(__FILE_NAME__, __LINE__, caller, false,
                    "the engine takes no packages: %zu queued, dropping the oldest events",
                    kMaxQueued);
    if (outcome != CPackageQueue::Bounded::overflowed)
        return true;
    limited_error(overflow_records, __FILE_NAME__, __LINE__, caller,
                  "the engine takes no results: queue dropped, the agent is told the "
                  "connection is gone");
    // Told from the agent's own callback, which the agent allows.
    mediator_report_no_connection();
    return false;
}

// Writes a framed package through the engine; 0 when taken.
int write_package(CPackage *package) {
    return DriverSendData(package->GetPointerAtPos(0),
                          static_cast<uint16_t>(package->GetTotalSize() & 0xFFFF), kWriteFlag);
}

// A package whose function id is 0 goes straight back to the sender as a
// result, in place in the reassembly buffer; the agent never sees it.
bool echo_test_package(char *package, uint32_t total_size) {
    auto *head = reinterpret_cast<PackHead *>(package);
    if ((head->ulMessageID & 0xFF) != kTestModeFunction)
        return false;
    head->uType = kPackageResult;
    head->uVersion = kPackageVersion;
    TRACE_INFO("-->> ICADataArrival:: (testmode) send data back to server");
    DriverSendData(package, static_cast<uint16_t>(total_size & 0xFFFF), kWriteFlag);
    return true;
}

// Procedure-table entries that only forward.
int unload_entry(void *, void *parameters, uint16_t *) {
    TRACE_SCOPE();
    if (auto *link = static_cast<ica::Link *>(parameters)) {
        link->usProcedureCount = 0;
        link->pProcedures = nullptr;
        link->pData = nullptr;
    }
    return ica::kStatusSuccess;
}

int open_entry(void *instance, void *parameters, uint16_t *size) {
    TRACE_SCOPE();
    auto *record = as_instance(instance);
    auto *open = static_cast<ica::OpenParameters *>(parameters);
    memset(record, 0, sizeof *record);
    record->pLink = open->pLink;
    int rc = DriverOpen(instance, parameters, size);
    record->ulChannelMask = open->ulChannelMask;
    return rc;
}

int close_entry(void *instance, void *parameters, uint16_t *size) {
    return DriverClose(instance, parameters, size);
}

int info_entry(void *instance, void *parameters, uint16_t *size) {
    return DriverInfo(instance, parameters, size);
}

int poll_entry(void *instance, void *parameters, uint16_t *size) {
    return DriverPoll(instance, parameters, size);
}

int query_entry(void *instance, void *parameters, uint16_t *size) {
    return DriverQueryInformation(instance, parameters, size);
}

int set_entry(void *instance, void *parameters, uint16_t *size) {
    return DriverSetInformation(instance, parameters, size);
}

}  // namespace

extern "C" {
void *VdProcedures[kProcedureCount] = {
    reinterpret_cast<void *>(&Load),        reinterpret_cast<void *>(&unload_entry),
    reinterpret_cast<void *>(&open_entry),  reinterpret_cast<void *>(&close_entry),
    reinterpret_cast<void *>(&info_entry),  reinterpret_cast<void *>(&poll_entry),
    reinterpret_cast<void *>(&query_entry), reinterpret_cast<void *>(&set_entry),
};
}

extern "C" int Load(void *link) {
    TRACE_SCOPE();
    auto *record = static_cast<ica::Link *>(link);
    record->usProcedureCount = kProcedureCount;
    record->pProcedures = reinterpret_cast<ica::Procedure *>(VdProcedures);
    record->pData = VdData;
    g_pLibMgrCallTable = record->pLibMgrCallTable;
    // An engine that loads the driver again starts it afresh.
    first_poll = 1;
    return ica::kStatusSuccess;
}

extern "C" void *VdLibMgr(void) {
    return g_pLibMgrCallTable;
}

extern "C" int VdCallWd(void *instance, uint16_t function, void *parameter, uint16_t *size) {
    TRACE_SCOPE();
    ica::Link *link = as_instance(instance)->pLink;
    if (link == nullptr || link->pProcedures == nullptr)
        return ica::kStatusNoProcedureTable;
    return link->pProcedures[function](link->pData, parameter, size);
}

extern "C" int DriverOpen(void *instance, void *parameters, uint16_t *size) {
    TRACE_SCOPE();
    auto *record = as_instance(instance);
    auto *open = static_cast<ica::OpenParameters *>(parameters);
    if (size != nullptr)
        *size = kOpenSize;

    ica::ChannelOpen channel{};
    channel.pName = kChannelName;
    int rc = call_wd_information(instance, ica::kWdQueryInformation, ica::kClassOpenVirtualChannel,
                                 &channel, sizeof channel);
    if (rc != ica::kStatusSuccess)
        return rc;
    // The channel is told to the engine as a bit in a 32-bit mask.
    if (channel.usChannel >= 32) {
        TRACE_ERROR("DriverOpen:: channel number %u does not fit the channel mask",
                    channel.usChannel);
        return ica::kStatusFailure;
    }
    channel_number.store(channel.usChannel);
    open->ulChannelMask = 1u << channel.usChannel;
    record->pPrivate = nullptr;

    ica::WriteHook hook{};
    hook.usChannel = channel.usChannel;
    hook.pInstance = instance;
    hook.pHook = &ICADataArrival;
    rc = call_wd_information(instance, ica::kWdSetInformation, ica::kClassVirtualWriteHook, &hook,
                             sizeof hook);
    if (rc != ica::kStatusSuccess)
        return rc;
    pWd.store(hook.pWd);
    pQueueVirtualWrite.store(hook.pWrite);
    // Computed wide: an engine answering less than 4 must not wrap around.
    int max_data_size = static_cast<int>(hook.usMaxDataSize) - 4;
    gusMaxDataSize = static_cast<uint16_t>(max_data_size < 0 ? 0 : max_data_size);
    TRACE_INFO("gusMaxDataSize: %d, MAX_PACKAGE_TOTAL_SIZE: %d", max_data_size,
               MAX_PACKAGE_TOTAL_SIZE);
    // Every package must fit one write.
    if (max_data_size < MAX_PACKAGE_TOTAL_SIZE)
        return ica::kStatusFailure;

    // An open without a close in between keeps the area it has.
    if (GlobalReadDataTmpPtr == nullptr) {
        GlobalReadDataTmpPtr = malloc(kReadAreaSize);
        if (GlobalReadDataTmpPtr == nullptr) {
            TRACE_ERROR_ERRNO("DriverOpen:: malloc(%zu)", kReadAreaSize);
            return ica::kStatusNoMemory;
        }
    }

    TRACE_INFO("DriverOpen:: Initialize the FIFO");
    if (CPackageQueue::GetInstance() == nullptr) {
        TRACE_ERROR("DriverOpen:: Error allocating the FIFO");
        return ica::kStatusFailure;
    }
    // A package half received on an earlier channel is not the start of
    // this channel's stream.
    inbound_buffer().ClearHeader();
    callback_gate.open();

    if (__driver_open() == -1)
        return ica::kStatusFailure;
    return ica::kStatusSuccess;
}

extern "C" int DriverClose(void *, void *, uint16_t *) {
    TRACE_SCOPE();
    int rc = __driver_close() == 0 ? ica::kStatusSuccess : ica::kStatusFailure;
    // The callbacks are deregistered; wait for those still running before
    // the queue they push onto goes away.
    callback_gate.shut_and_wait();
    CPackageQueue::Release();
    // The engine's channel context ends with the channel: nothing may be
    // written through it any more.
    pQueueVirtualWrite.store(nullptr);
    pWd.store(nullptr);
    if (GlobalReadDataTmpPtr != nullptr) {
        TRACE_INFO("DriverClose: Going to free(GlobalReadDataTmpPtr)");
        free(GlobalReadDataTmpPtr);
        GlobalReadDataTmpPtr = nullptr;
        TRACE_INFO("DriverClose: free(GlobalReadDataTmpPtr) - DONE");
    }
    return rc;
}

extern "C" int DriverInfo(void *instance, void *parameters, uint16_t *size) {
    TRACE_SCOPE();
    auto *info = static_cast<ica::InfoParameters *>(parameters);
    if (size != nullptr)
        *size = kInfoSize;
    if (info->usByteCount < kInfoRecordSize || info->pBuffer == nullptr) {
        TRACE_INFO("DriverPoll: Client buffer too small, pVdInfo->ByteCount: %d, ByteCount: %d",
                   info->usByteCount, kInfoRecordSize);
        info->usByteCount = kInfoRecordSize;
        return ica::kStatusBufferTooSmall;
    }
    info->usByteCount = kInfoRecordSize;
    auto *record = static_cast<ica::DriverInfo *>(info->pBuffer);
    record->usByteCount = kInfoRecordSize;
    record->ucModuleClass = 3;
    record->ucVersionLow = 1;
    record->ucVersionHigh = 1;
    memcpy(record->szProtocol, "ICA", sizeof record->szProtocol);
    record->ulChannelMask = as_instance(instance)->ulChannelMask;
    record->ucFlags40 = 0;
    record->ucFlags41 = 0;
    record->usMaxDataSize = gusMaxDataSize;
    return ica::kStatusSuccess;
}

extern "C" int DriverPoll(void *, void *, uint16_t *) {
    TRACE_SCOPE();
    if (first_poll == 1) {
        TRACE_INFO("DriverPoll: function entered (test call as FirstTimeDebug)");
        first_poll = 0;
        return ica::kStatusNoData;
    }
    CPackageQueue *queue = CPackageQueue::theInstance.load();
    if (queue == nullptr)
        return ica::kStatusNoData;
    int result = ica::kStatusNoData;
    // Strictly in queue order: a refused package blocks those behind it.
    while (CPackage *package = queue->Front()) {
        TRACE_INFO("DriverPoll: try to send top queue Element ulMessageID: %u functionID: %u",
                   package->GetMessageID(), package->GetFunctionID());
        int rc = write_package(package);
        if (rc == ica::kStatusSuccess) {
            queue->Pop();
            delete package;
            result = ica::kStatusSuccess;
            continue;
        }
        if (rc == ica::kStatusWriteRefused)
            TRACE_ERROR("DriverPoll: pQueueVirtualWrite failed!");
        else
            TRACE_ERROR("DriverPoll: Package send failed FATAL_ERROR");
        return ica::kStatusRetryLater;
    }
    return result;
}

extern "C" int DriverQueryInformation(void *, void *, uint16_t *size) {
    TRACE_SCOPE();
    if (size != nullptr)
        *size = kQuerySize;
    return ica::kStatusSuccess;
}

extern "C" int DriverSetInformation(void *, void *, uint16_t *) {
    TRACE_SCOPE();
    return ica::kStatusSuccess;
}

extern "C" int DriverGetLastError(void *instance, void *error) {
    TRACE_SCOPE();
    auto *record = static_cast<ica::LastError *>(error);
    record->ulError = as_instance(instance)->ulLastError;
    record->szMessage[0] = '\0';
    return ica::kStatusSuccess;
}

extern "C" int DriverSendData(const char *data, uint16_t length, uint16_t flag) {
    TRACE_SCOPE();
    if (length == 0) {
        TRACE_ERROR("DriverSendData:: parambufLen <= 0");
        return ica::kStatusSuccess;
    }
    if (length >= MAX_PACKAGE_DATA_SIZE) {
        TRACE_ERROR("DriverSendData:: Data size is to big!  Length=%d", length);
        return ica::kStatusFailure;
    }
    ica::WriteFunction write = pQueueVirtualWrite.load();
    if (write == nullptr) {
        TRACE_ERROR("DriverSendData:: the channel is not open");
        return ica::kStatusFailure;
    }
    TRACE_INFO("DriverSendData:: send data Lenght=%d", length);
    ica::MemorySection section{};
    section.ulLength = length;
    section.pData = data;
    int rc = write(pWd.load(), channel_number.load(), &section, 1, flag);
    if (rc != ica::kStatusSuccess)
        TRACE_ERROR("DriverSendData:: failed error=%d", rc);
    return rc;
}

extern "C" int ICADataArrival(void *, uint16_t, char *data, uint16_t length) {
    TRACE_SCOPE();
    inbound_arrival(data, length, {false, &echo_test_package, nullptr});
    return ica::kStatusSuccess;
}

extern "C" int DriverResultProcessorFunction(void *package, int length) {
    TRACE_SCOPE();
    CallbackPass pass;
    if (!pass)
        return ica::kStatusFailure;
    CPackage *result = outbound_package(package, length, kPackageResult, __func__);
    if (result == nullptr)
        return ica::kStatusFailure;
    int rc = write_package(result);
    if (rc == ica::kStatusSuccess) {
        delete result;
        return rc;
    }
    // The engine did not take it: the poll retries it.
    uint8_t function = result->GetFunctionID();
    if (!queue_for_poll(result, __func__))
        return ica::kStatusFailure;
    TRACE_ERROR("DriverResultProcessorFunction:: package pushed fID=%d", function);
    return rc;
}

extern "C" int DriverEventProcessorFunction(void *package, int length) {
    TRACE_SCOPE();
    CallbackPass pass;
    if (!pass)
        return ica::kStatusFailure;
    CPackage *event = outbound_package(package, length, kPackageEvent, __func__);
    if (event == nullptr)
        return ica::kStatusFailure;
    queue_for_poll(event, __func__);
    return ica::kStatusSuccess;
}

extern "C" void InitTheMediatorDLLInterface(void) {
    mediator_register(&DriverResultProcessorFunction, &DriverEventProcessorFunction);
}

// The agent stays mapped: only the handle is forgotten.
extern "C" bool FreeTheMediatorDLLInterface(void) {
    return mediator_release(AgentRelease::keep_mapped);
}

extern "C" int __driver_open(void) {
    TRACE_SCOPE();
    __driver_close();
    if (!LoadTheMediatorDLLInterface()) {
        TRACE_ERROR("faled to load libinkagent.so");
        return -1;
    }
    InitTheMediatorDLLInterface();
    return 0;
}

extern "C" int __driver_close(void) {
    TRACE_SCOPE();
    mediator_report_no_connection();
    ResetTheMediatorDLLInterface();
    return FreeTheMediatorDLLInterface() ? 0 : -1;
}
