// A stand-in for the ICA client engine, enough to drive a virtual driver in
// tests: it loads the driver, calls Load and the procedure table, answers the
// driver's VdCallWd requests (open a channel, register the write hook), feeds
// inbound channel data to the registered hook in chunks of the test's choosing
// and records every write the driver makes, refusing writes on request.
//
// The engine keeps its own description of the records by byte offset, written
// independently of the driver's, so a layout mistake on either side shows up.
//
// Threads: open, close, poll, info and deliver run on the test's thread (the
// engine's thread). The write function may be called from any thread (the
// agent reports results from its own); everything it touches is locked.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class IcaEngine {
  public:
    struct Write {
        uint16_t channel;
        uint16_t flags;
        uint16_t sections;
        std::vector<uint8_t> bytes;
    };

    IcaEngine();
    // Closes the driver if it is still open; the library stays mapped, as the
    // driver keeps process-wide state that a later engine reuses.
    ~IcaEngine();
    IcaEngine(const IcaEngine &) = delete;
    IcaEngine &operator=(const IcaEngine &) = delete;

    // dlopen()s the driver and calls Load. False (with error()) when the
    // library, Load or a sane answer from Load is missing.
    bool load(const char *path);
    const std::string &error() const { return error_; }
    void *symbol(const char *name) const;

    // What the engine answers at open. Set before open().
    uint16_t max_write_size = 2048;
    uint16_t channel = 5;
    int open_channel_result = 0;           // answer to the class-33 query
    int set_hook_result = 0;               // answer to the class-10 set
    bool link_without_procedures = false;  // the link offers no procedure table

    // The procedure table, entry by entry.
    int unload();
    int open();
    int close();
    int info(std::vector<uint8_t> &buffer, uint16_t &byte_count, uint16_t &size);
    int poll();
    int query_information(uint16_t &size);
    int set_information(uint16_t &size);

    // The size the open entry reported and what it left in our records.
    uint16_t open_size() const { return open_size_; }
    uint32_t open_parameters_channel_mask() const;
    uint32_t instance_channel_mask() const;
    void *instance_link() const;
    const void *engine_link() const { return wd_link_; }
    void set_instance_last_error(uint32_t error);
    void *instance() { return instance_; }
    // The procedure count, table and data area that Load wrote into the link.
    uint16_t load_procedure_count() const;
    void *const *load_procedure_table() const;
    void *load_data_area() const;
    void *library_manager_table() { return &library_manager_table_; }

    // What the driver asked for at open.
    std::string requested_channel_name() const { return requested_channel_name_; }
    bool hook_registered() const { return hook_ != nullptr; }
    void *hook_context() const { return hook_context_; }
    uint16_t hook_channel() const { return hook_channel_; }

    // Inbound data: calls the hook once per chunk; returns the first non-zero
    // answer of the hook, or 0.
    int deliver(const void *data, size_t length, size_t chunk);

    // Outbound data.
    std::vector<Write> writes();
    size_t write_count();
    // Number of calls of the write function, refused ones included.
    size_t write_attempts();
    void clear_writes();
    // The next `count` writes (all, when count is negative) answer `code`
    // instead of taking the bytes; code 0 takes them again.
    void refuse_writes(int code, int count = -1);
    // Every n-th write attempt answers `code` (n 0: none).
    void refuse_every(int n, int code);
    // Waits until at least `count` writes were taken.
    bool wait_for_writes(size_t count, std::chrono::milliseconds limit);

    // The next write blocks inside the write function until release_write(),
    // and then answers `code` (0 takes the bytes).
    void hold_next_write();
    bool wait_for_held_write(std::chrono::milliseconds limit);
    void release_write(int code);

  private:
    using Entry = int (*)(void *, void *, uint16_t *);
    Entry entry(int index) const;

    static int wd_query_information(void *data, void *param, uint16_t *size);
    static int wd_set_information(void *data, void *param, uint16_t *size);
    static int wd_unsupported(void *data, void *param, uint16_t *size);
    static int write_function(void *wd, uint16_t channel, void *sections, uint16_t count,
                              uint16_t flags);

    void *library_ = nullptr;
    std::string error_;
    bool opened_ = false;

    // Engine-owned records, zeroed, large enough for what the driver touches.
    alignas(8) uint8_t load_link_[64] = {};
    alignas(8) uint8_t wd_link_[64] = {};
    alignas(8) uint8_t instance_[64] = {};
    alignas(8) uint8_t open_parameters_[32] = {};
    alignas(8) uint8_t poll_parameters_[32] = {};
    int (*wd_procedures_[12])(void *, void *, uint16_t *) = {};
    uint8_t library_manager_table_[16] = {};
    uint16_t open_size_ = 0;

    std::string requested_channel_name_;
    void *hook_ = nullptr;
    void *hook_context_ = nullptr;
    uint16_t hook_channel_ = 0;

    std::mutex writes_lock_;
    std::condition_variable writes_changed_;
    std::vector<Write> writes_;
    size_t attempts_ = 0;
    int refuse_code_ = 0;
    int refuse_count_ = 0;
    int refuse_every_ = 0;
    int refuse_every_code_ = 0;
    enum class Hold { none, armed, holding, released } hold_ = Hold::none;
    int hold_code_ = 0;
};
