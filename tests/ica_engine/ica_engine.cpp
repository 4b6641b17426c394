#include "ica_engine.h"

#include <dlfcn.h>

#include <cstring>

namespace {

// The engine's view of the records, by byte offset on x86-64.
namespace off {
// Link record (Load's argument, and the link VdCallWd goes through).
constexpr size_t kLinkProcedureCount = 4;
constexpr size_t kLinkProcedures = 8;
constexpr size_t kLinkData = 16;
constexpr size_t kLinkLibraryManager = 48;
// Driver instance.
constexpr size_t kInstanceChannelMask = 0;
constexpr size_t kInstanceLink = 8;
constexpr size_t kInstanceLastError = 16;
// Open parameters.
constexpr size_t kOpenLink = 8;
constexpr size_t kOpenChannelMask = 16;
// Query/set information request.
constexpr size_t kRequestClass = 0;
constexpr size_t kRequestData = 8;
constexpr size_t kRequestLength = 16;
// Class 33 channel-open record.
constexpr size_t kChannelName = 0;
constexpr size_t kChannelNumber = 8;
// Class 10 write-hook record.
constexpr size_t kHookChannel = 0;
constexpr size_t kHookInstance = 8;
constexpr size_t kHookProcedure = 16;
constexpr size_t kHookWd = 24;
constexpr size_t kHookMaxWrite = 64;
constexpr size_t kHookWrite = 72;
// Memory section of a write.
constexpr size_t kSectionLength = 0;
constexpr size_t kSectionData = 8;
constexpr size_t kSectionSize = 16;
// Info parameters.
constexpr size_t kInfoBuffer = 0;
constexpr size_t kInfoByteCount = 8;
}  // namespace off

template <typename T>
T get(const void *record, size_t offset) {
    T value;
    memcpy(&value, static_cast<const uint8_t *>(record) + offset, sizeof value);
    return value;
}

template <typename T>
void put(void *record, size_t offset, T value) {
    memcpy(static_cast<uint8_t *>(record) + offset, &value, sizeof value);
}

// Procedure table indices.
enum { kLoad, kUnload, kOpen, kClose, kInfo, kPoll, kQuery, kSet, kTableSize };

}  // namespace

IcaEngine::IcaEngine() {
    for (auto &p : wd_procedures_)
        p = &IcaEngine::wd_unsupported;
    wd_procedures_[6] = &IcaEngine::wd_query_information;
    wd_procedures_[7] = &IcaEngine::wd_set_information;
    put<void *>(wd_link_, off::kLinkProcedures, wd_procedures_);
    put<void *>(wd_link_, off::kLinkData, this);
    put<void *>(load_link_, off::kLinkLibraryManager, library_manager_table_);
}

IcaEngine::~IcaEngine() {
    if (opened_)
        close();
    // The library stays mapped, as in the engine: the driver keeps
    // process-wide state that lives until the process ends.
}

bool IcaEngine::load(const char *path) {
    library_ = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!library_) {
        error_ = dlerror();
        return false;
    }
    auto load = reinterpret_cast<int (*)(void *)>(dlsym(library_, "Load"));
    if (!load) {
        error_ = "no Load entry";
        return false;
    }
    int rc = load(load_link_);
    if (rc != 0) {
        error_ = "Load returned " + std::to_string(rc);
        return false;
    }
    if (load_procedure_count() < kTableSize || !load_procedure_table()) {
        error_ = "Load left no procedure table";
        return false;
    }
    for (int i = 0; i < kTableSize; i++) {
        if (!load_procedure_table()[i]) {
            error_ = "procedure " + std::to_string(i) + " is missing";
            return false;
        }
    }
    return true;
}

void *IcaEngine::symbol(const char *name) const {
    return library_ ? dlsym(library_, name) : nullptr;
}

uint16_t IcaEngine::load_procedure_count() const {
    return get<uint16_t>(load_link_, off::kLinkProcedureCount);
}

void *const *IcaEngine::load_procedure_table() const {
    return get<void *const *>(load_link_, off::kLinkProcedures);
}

void *IcaEngine::load_data_area() const {
    return get<void *>(load_link_, off::kLinkData);
}

IcaEngine::Entry IcaEngine::entry(int index) const {
    return reinterpret_cast<Entry>(load_procedure_table()[index]);
}

int IcaEngine::unload() {
    return entry(kUnload)(nullptr, load_link_, nullptr);
}

int IcaEngine::open() {
    // The engine hands the driver a record with its own link; the driver
    // is expected to clear the instance before use, so leave junk in it.
    memset(instance_, 0xA5, sizeof instance_);
    put<void *>(wd_link_, off::kLinkProcedures, link_without_procedures ? nullptr : wd_procedures_);
    put<void *>(open_parameters_, off::kOpenLink, wd_link_);
    put<uint32_t>(open_parameters_, off::kOpenChannelMask, 0);
    open_size_ = 0;
    int rc = entry(kOpen)(instance_, open_parameters_, &open_size_);
    opened_ = true;
    return rc;
}

int IcaEngine::close() {
    uint16_t size = 0;
    opened_ = false;
    return entry(kClose)(instance_, nullptr, &size);
}

int IcaEngine::info(std::vector<uint8_t> &buffer, uint16_t &byte_count, uint16_t &size) {
    alignas(8) uint8_t parameters[16] = {};
    put<void *>(parameters, off::kInfoBuffer, buffer.data());
    put<uint16_t>(parameters, off::kInfoByteCount, byte_count);
    int rc = entry(kInfo)(instance_, parameters, &size);
    byte_count = get<uint16_t>(parameters, off::kInfoByteCount);
    return rc;
}

int IcaEngine::poll() {
    uint16_t size = 0;
    return entry(kPoll)(instance_, poll_parameters_, &size);
}

int IcaEngine::query_information(uint16_t &size) {
    alignas(8) uint8_t request[24] = {};
    return entry(kQuery)(instance_, request, &size);
}

int IcaEngine::set_information(uint16_t &size) {
    alignas(8) uint8_t request[24] = {};
    return entry(kSet)(instance_, request, &size);
}

uint32_t IcaEngine::open_parameters_channel_mask() const {
    return get<uint32_t>(open_parameters_, off::kOpenChannelMask);
}

uint32_t IcaEngine::instance_channel_mask() const {
    return get<uint32_t>(instance_, off::kInstanceChannelMask);
}

void *IcaEngine::instance_link() const {
    return get<void *>(instance_, off::kInstanceLink);
}

void IcaEngine::set_instance_last_error(uint32_t error) {
    put<uint32_t>(instance_, off::kInstanceLastError, error);
}

int IcaEngine::wd_unsupported(void *, void *, uint16_t *) {
    return 1;
}

int IcaEngine::wd_query_information(void *data, void *param, uint16_t *size) {
    auto *engine = static_cast<IcaEngine *>(data);
    if (!size || *size != 24)
        return 2;
    if (get<uint32_t>(param, off::kRequestClass) != 33)
        return 3;
    void *record = get<void *>(param, off::kRequestData);
    if (!record || get<uint16_t>(param, off::kRequestLength) < 16)
        return 4;
    const char *name = get<const char *>(record, off::kChannelName);
    engine->requested_channel_name_ = name ? name : "";
    if (engine->open_channel_result != 0)
        return engine->open_channel_result;
    put<uint16_t>(record, off::kChannelNumber, engine->channel);
    return 0;
}

int IcaEngine::wd_set_information(void *data, void *param, uint16_t *size) {
    auto *engine = static_cast<IcaEngine *>(data);
    if (!size || *size != 24)
        return 2;
    if (get<uint32_t>(param, off::kRequestClass) != 10)
        return 3;
    void *record = get<void *>(param, off::kRequestData);
    if (!record || get<uint16_t>(param, off::kRequestLength) < 80)
        return 4;
    if (engine->set_hook_result != 0)
        return engine->set_hook_result;
    engine->hook_channel_ = get<uint16_t>(record, off::kHookChannel);
    engine->hook_context_ = get<void *>(record, off::kHookInstance);
    engine->hook_ = get<void *>(record, off::kHookProcedure);
    put<void *>(record, off::kHookWd, engine);
    put<uint16_t>(record, off::kHookMaxWrite, engine->max_write_size);
    put<void *>(record, off::kHookWrite, reinterpret_cast<void *>(&IcaEngine::write_function));
    return 0;
}

int IcaEngine::write_function(void *wd, uint16_t channel, void *sections, uint16_t count,
                              uint16_t flags) {
    auto *engine = static_cast<IcaEngine *>(wd);
    std::unique_lock<std::mutex> guard(engine->writes_lock_);
    engine->attempts_++;
    if (engine->hold_ == Hold::armed) {
        engine->hold_ = Hold::holding;
        engine->writes_changed_.notify_all();
        engine->writes_changed_.wait(guard, [engine] { return engine->hold_ == Hold::released; });
        engine->hold_ = Hold::none;
        if (engine->hold_code_ != 0)
            return engine->hold_code_;
    } else if (engine->refuse_code_ != 0 && engine->refuse_count_ != 0) {
        if (engine->refuse_count_ > 0)
            engine->refuse_count_--;
        return engine->refuse_code_;
    } else if (engine->refuse_every_ > 0 && engine->attempts_ % engine->refuse_every_ == 0) {
        return engine->refuse_every_code_;
    }
    Write w{channel, flags, count, {}};
    for (uint16_t i = 0; i < count; i++) {
        const uint8_t *section = static_cast<const uint8_t *>(sections) + i * off::kSectionSize;
        auto length = get<uint32_t>(section, off::kSectionLength);
        auto *bytes = get<const uint8_t *>(section, off::kSectionData);
        w.bytes.insert(w.bytes.end(), bytes, bytes + length);
    }
    engine->writes_.push_back(std::move(w));
    engine->writes_changed_.notify_all();
    return 0;
}

int IcaEngine::deliver(const void *data, size_t length, size_t chunk) {
    using Hook = int (*)(void *, uint16_t, char *, uint16_t);
    auto hook = reinterpret_cast<Hook>(hook_);
    if (!hook)
        return -1;
    // The engine hands the driver its own receive buffer, not the caller's.
    std::vector<char> buffer(static_cast<const char *>(data),
                             static_cast<const char *>(data) + length);
    int first_failure = 0;
    for (size_t pos = 0; pos < length; pos += chunk) {
        size_t n = std::min(chunk, length - pos);
        int rc = hook(hook_context_, hook_channel_, buffer.data() + pos, static_cast<uint16_t>(n));
        if (rc != 0 && first_failure == 0)
            first_failure = rc;
    }
    return first_failure;
}

std::vector<IcaEngine::Write> IcaEngine::writes() {
    std::lock_guard<std::mutex> guard(writes_lock_);
    return writes_;
}

size_t IcaEngine::write_count() {
    std::lock_guard<std::mutex> guard(writes_lock_);
    return writes_.size();
}

size_t IcaEngine::write_attempts() {
    std::lock_guard<std::mutex> guard(writes_lock_);
    return attempts_;
}

void IcaEngine::clear_writes() {
    std::lock_guard<std::mutex> guard(writes_lock_);
    writes_.clear();
    attempts_ = 0;
}

void IcaEngine::refuse_writes(int code, int count) {
    std::lock_guard<std::mutex> guard(writes_lock_);
    refuse_code_ = code;
    refuse_count_ = code == 0 ? 0 : count;
}

void IcaEngine::refuse_every(int n, int code) {
    std::lock_guard<std::mutex> guard(writes_lock_);
    refuse_every_ = n;
    refuse_every_code_ = code;
}

void IcaEngine::hold_next_write() {
    std::lock_guard<std::mutex> guard(writes_lock_);
    hold_ = Hold::armed;
}

bool IcaEngine::wait_for_held_write(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(writes_lock_);
    return writes_changed_.wait_for(guard, limit, [&] { return hold_ == Hold::holding; });
}

void IcaEngine::release_write(int code) {
    std::lock_guard<std::mutex> guard(writes_lock_);
    hold_code_ = code;
    hold_ = Hold::released;
    writes_changed_.notify_all();
}

bool IcaEngine::wait_for_writes(size_t count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(writes_lock_);
    return writes_changed_.wait_for(guard, limit, [&] { return writes_.size() >= count; });
}
