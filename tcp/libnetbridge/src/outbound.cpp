#include "outbound.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "netbridge_internal.h"
#include "ratelimit.h"
#include "wrappers.h"
#include "wrappthread.h"

namespace netbridge_tuning {
std::atomic<int> write_stall_ms{10000};
}

namespace {

constexpr int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;

RecordLimit no_client_records;
RecordLimit closed_records;

// Sends what the socket takes now. False on an error other than a full
// socket; *sent counts the bytes that went out.
bool send_what_fits(int fd, const char *bytes, size_t length, size_t *sent) {
    *sent = 0;
    while (*sent < length) {
        ssize_t n = ::send(fd, bytes + *sent, length - *sent, kSendFlags);
        if (n > 0)
            *sent += static_cast<size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    return true;
}

}  // namespace

Outbound &outbound() {
    // Never destroyed: a writer may still be on its way out at exit.
    static Outbound *const instance = new Outbound;
    return *instance;
}

void Outbound::start(int fd) {
    LOCK_GUARD(guard, &send_lock);
    fd_ = fd;
    sockfd.store(fd);
    waiting_.clear();
    waiting_bytes_ = 0;
    failed_ = false;
    stopping_ = false;
}

void Outbound::stop() {
    bool join = false;
    pthread_t writer;
    {
        LOCK_GUARD(guard, &send_lock);
        if (fd_ < 0)
            return;
        stopping_ = true;
        shutdown(fd_, SHUT_RDWR);
        pthread_cond_broadcast(&wake_);
        join = writer_started_;
        writer = writer_;
    }
    if (join)
        pthread_join(writer, nullptr);
    LOCK_GUARD(guard, &send_lock);
    fd_ = -1;
    waiting_.clear();
    waiting_bytes_ = 0;
    writing_ = false;
    writer_started_ = false;
}

bool Outbound::send_counted(int fd, const char *bytes, size_t length, size_t *sent) {
    const bool ok = send_what_fits(fd, bytes, length, sent);
    sent_ += *sent;
    return ok;
}

bool Outbound::idle() {
    LOCK_GUARD(guard, &send_lock);
    return waiting_.empty() && !writing_;
}

bool Outbound::failed() {
    LOCK_GUARD(guard, &send_lock);
    return failed_;
}

int Outbound::send(const char *bytes, int length, const char *caller, bool *no_client) {
    LOCK_GUARD(guard, &send_lock);
    const int fd = sockfd.load();
    if (fd < 0) {
        limited_error(no_client_records, __FILE_NAME__, __LINE__, caller, "error of socket: %d",
                      fd);
        *no_client = true;
        return -1;
    }
    if (fd != fd_)
        return send_unserved_locked(fd, bytes, length);
    if (failed_ || stopping_)
        return -1;
    size_t left = static_cast<size_t>(length);
    if (waiting_.empty() && !writing_) {
        size_t sent = 0;
        if (!send_counted(fd, bytes, left, &sent)) {
            fail_locked("the client's connection failed");
            return -1;
        }
        bytes += sent;
        left -= sent;
        if (left == 0)
            return 0;
    }
    if (waiting_.size() >= kMaxPackages || waiting_bytes_ + left > kMaxBytes) {
        fail_locked("the client does not read: its queue is full");
        return -1;
    }
    waiting_.emplace_back(bytes, bytes + left);
    waiting_bytes_ += left;
    if (!writer_started_) {
        if (pthread_create(&writer_, nullptr, writer_main, this) != 0) {
            fail_locked("no writer thread");
            return -1;
        }
        writer_started_ = true;
    }
    pthread_cond_signal(&wake_);
    return 0;
}

// A descriptor that no receiving thread serves (one given to sockfd from
// outside): written at once or not at all, since nobody would finish it.
int Outbound::send_unserved_locked(int fd, const char *bytes, int length) {
    size_t sent = 0;
    const bool ok = send_counted(fd, bytes, static_cast<size_t>(length), &sent);
    if (ok && sent == static_cast<size_t>(length))
        return 0;
    if (sent > 0) {
        // Cut off: nothing may follow it.
        shutdown(fd, SHUT_RDWR);
        TRACE_ERROR_LIMITED(closed_records, "%zu of %d bytes written: connection closed", sent,
                            length);
    }
    return -1;
}

void Outbound::fail_locked(const char *why) {
    if (failed_)
        return;
    failed_ = true;
    if (!stopping_)
        TRACE_ERROR_LIMITED(closed_records, "%s: connection closed (%zu packages dropped)", why,
                            waiting_.size());
    waiting_.clear();
    waiting_bytes_ = 0;
    // The receiving thread sees the end and gives the connection up.
    shutdown(fd_, SHUT_RDWR);
    pthread_cond_broadcast(&wake_);
}

void *Outbound::writer_main(void *self) {
    pthread_setname_np(pthread_self(), "nb_writer");
    static_cast<Outbound *>(self)->write_waiting();
    return nullptr;
}

void Outbound::write_waiting() {
    for (;;) {
        std::vector<char> unit;
        int fd;
        {
            LOCK_GUARD(guard, &send_lock);
            writing_ = false;
            while (!stopping_ && (waiting_.empty() || failed_))
                Pthread_cond_wait(&wake_, &send_lock);
            if (stopping_)
                return;
            unit = std::move(waiting_.front());
            waiting_.pop_front();
            waiting_bytes_ -= unit.size();
            writing_ = true;
            fd = fd_;
        }
        if (const char *why = write_whole(fd, unit)) {
            LOCK_GUARD(guard, &send_lock);
            fail_locked(why);
        }
    }
}

// Writes all of unit; null when done, otherwise why it could not be.
const char *Outbound::write_whole(int fd, const std::vector<char> &unit) {
    using clock = std::chrono::steady_clock;
    const auto stall_limit = std::chrono::milliseconds(netbridge_tuning::write_stall_ms.load());
    auto last_progress = clock::now();
    size_t done = 0;
    while (done < unit.size()) {
        size_t sent = 0;
        if (!send_counted(fd, unit.data() + done, unit.size() - done, &sent))
            return "the client's connection failed";
        done += sent;
        const auto now = clock::now();
        if (sent > 0)
            last_progress = now;
        if (done == unit.size())
            break;
        const auto left = stall_limit - (now - last_progress);
        if (left <= std::chrono::milliseconds(0))
            return "the client took no bytes within the write time limit";
        // A shutdown of the socket (stop, or a failure seen elsewhere) ends
        // the wait at once.
        struct pollfd p = {fd, POLLOUT, 0};
        poll(&p, 1,
             static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(left).count()) +
                 1);
    }
    return nullptr;
}
