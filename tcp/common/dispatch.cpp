#include "dispatch.h"

#include "cmediator.h"
#include "wrappers.h"

CShiftBuffer &inbound_buffer() {
    // Never destroyed: a receiving thread may still be on its way out while
    // the process ends.
    static CShiftBuffer *const buffer = new CShiftBuffer;
    return *buffer;
}

void inbound_arrival(const char *data, unsigned length, const InboundPolicy &policy) {
    CShiftBuffer &buffer = inbound_buffer();
    if (data != nullptr && length != 0) {
        if (trace_on(TraceClass::info))
            trace_info(__FILE_NAME__, __LINE__, "ICADataArrival",
                       "ICADataArrival::append new package entry: %p Len=%u",
                       static_cast<const void *>(data), length);
        buffer.AppendData(data, static_cast<int>(length));
    }
    // Each round removes at least one header's worth of bytes, so the loop
    // ends after at most fill / kHeadSize rounds.
    while (buffer.IsDataComplete() && (policy.go_on == nullptr || policy.go_on())) {
        char *package = buffer.GetPointerAtPos(0);
        uint32_t total = static_cast<uint32_t>(buffer.GetTotalSize());
        if (policy.stamp_arrival)
            buffer.GetHeader()->ulArrivalTime = GetTimeStamp();
        TRACE_INFO("ulMessageID: %u, functionID: %u, ulTotalSize: %u", buffer.GetMessageID(),
                   static_cast<unsigned>(buffer.GetFunctionID()), total);
        if (policy.intercept == nullptr || !policy.intercept(package, total)) {
            if (auto far_function = pfClientRegisterFarFunction.load())
                far_function(package, total);
            else
                trace_error(__FILE_NAME__, __LINE__, "ICADataArrival", false,
                            "pfClientRegisterFarFunction() is NULL");
        }
        buffer.ResetPackage();
    }
}

bool frame_outbound(CPackage &package, const void *agent_bytes, int length,
                    const OutboundPolicy &policy) {
    if (agent_bytes == nullptr || length < kHeadSize) {
        trace_error(__FILE_NAME__, __LINE__, policy.caller, false,
                    "package of %d bytes at %p has no whole header: not sent", length, agent_bytes);
        return false;
    }
    if (length >= MAX_PACKAGE_DATA_SIZE) {
        trace_error(__FILE_NAME__, __LINE__, policy.caller, false,
                    "package of %d bytes does not fit (at most %d): not sent", length,
                    MAX_PACKAGE_DATA_SIZE - 1);
        return false;
    }
    package.OverWrite(0, static_cast<const char *>(agent_bytes), length);
    PackHead *head = package.GetHeader();
    head->uType = policy.type;
    head->uVersion = kPackageVersion;
    head->ulTotalSize = static_cast<uint32_t>(length);
    head->ulLength = static_cast<uint32_t>(length);
    head->uPackageID = 0;
    if (policy.stamp_send_time)
        head->ulSendTime = GetTimeStamp();
    if (trace_on(TraceClass::info))
        trace_info(__FILE_NAME__, __LINE__, policy.caller, "functionID = %lu",
                   static_cast<unsigned long>(package.GetFunctionID()));
    return true;
}
