// TLS for the bridge's clients: settings, the handshake thread and the
// stream (see tls.h for the threads and the lock).
#include "tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "netbridge_internal.h"
#include "ratelimit.h"
#include "tls_bio.h"
#include "wrappers.h"
#include "wrappthread.h"
#include "wrapunix.h"

namespace netbridge_tuning {
std::atomic<int> handshake_limit_ms{10000};
}

namespace {

using Clock = std::chrono::steady_clock;

// Clients in their handshake at once, at most (a descriptor and a few
// kilobytes each). A newcomer beyond that pushes out the one that has waited
// longest: a crowd of stalled peers then delays a real client by no more
// than its own handshake, which takes a millisecond or two.
constexpr size_t kMaxHandshakes = 256;

// A fatal protocol_version alert, the answer a plain client gets: a client
// of ours recognises it and says that the bridge speaks TLS.
constexpr unsigned char kPlainClientAlert[] = {0x15, 0x03, 0x03, 0x00, 0x02, 0x02, 0x46};
constexpr unsigned char kHandshakeRecord = 0x16;
constexpr const char kSuites[] =
    "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384";

RecordLimit refusal_records;

// The settings; written by set_tls before the driver opens, read as
// clients arrive.
std::mutex context_lock;
SSL_CTX *context = nullptr;

SSL_CTX *current_context() {
    std::lock_guard<std::mutex> guard(context_lock);
    if (context != nullptr)
        SSL_CTX_up_ref(context);
    return context;
}

// The most telling text of OpenSSL's error queue for this thread.
std::string openssl_reason(const char *otherwise) {
    unsigned long code = ERR_peek_last_error();
    const char *reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    return reason != nullptr ? reason : otherwise;
}

// "CN=alice,O=Site" of the certificate's subject.
std::string subject_of(X509 *certificate) {
    std::string text;
    BIO *out = BIO_new(BIO_s_mem());
    if (out == nullptr)
        return text;
    X509_NAME_print_ex(out, X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253);
    char *data = nullptr;
    long length = BIO_get_mem_data(out, &data);
    if (length > 0)
        text.assign(data, static_cast<size_t>(length));
    BIO_free(out);
    return text;
}

bool readable(const char *file) {
    return file != nullptr && access(file, R_OK) == 0;
}

// A context for the certificate, key and client CA; null after saying why.
SSL_CTX *make_context(const char *certificate, const char *key, const char *client_ca) {
    ERR_clear_error();
    for (const char *file : {certificate, key, client_ca}) {
        if (file != nullptr && !readable(file)) {
            TRACE_ERROR("cannot read %s: %s", file, strerror(errno));
            return nullptr;
        }
    }
    SSL_CTX *made = SSL_CTX_new(TLS_server_method());
    if (made == nullptr) {
        TRACE_ERROR("no TLS context: %s", openssl_reason("out of memory").c_str());
        return nullptr;
    }
    // TLS 1.3 only: its suites all have forward secrecy, and it has neither
    // renegotiation nor compression. Without session tickets: every client
    // shows its certificate afresh.
    SSL_CTX_set_min_proto_version(made, TLS1_3_VERSION);
    SSL_CTX_set_options(made, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION | SSL_OP_NO_TICKET);
    SSL_CTX_set_num_tickets(made, 0);
    // AES-128 first: as strong as the curve of the keys, and each of the
    // many small records costs less.
    SSL_CTX_set_ciphersuites(made, kSuites);
    SSL_CTX_set_options(made, SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_mode(made, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Whatever the socket holds is read at once, not record by record: the
    // receiving thread reads until the session has nothing left.
    SSL_CTX_set_read_ahead(made, 1);
    if (SSL_CTX_use_certificate_chain_file(made, certificate) != 1) {
        TRACE_ERROR("the certificate in %s cannot be used: %s", certificate,
                    openssl_reason("not PEM").c_str());
        SSL_CTX_free(made);
        return nullptr;
    }
    const bool key_loaded = SSL_CTX_use_PrivateKey_file(made, key, SSL_FILETYPE_PEM) == 1;
    if (!key_loaded || SSL_CTX_check_private_key(made) != 1) {
        // A key of another certificate fails as it loads, or in the check.
        if (key_loaded || ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH) {
            ERR_clear_error();
            TRACE_ERROR("the key in %s does not belong to the certificate in %s", key, certificate);
        } else {
            TRACE_ERROR("the key in %s cannot be used: %s", key, openssl_reason("not PEM").c_str());
        }
        SSL_CTX_free(made);
        return nullptr;
    }
    if (X509_cmp_current_time(X509_get0_notAfter(SSL_CTX_get0_certificate(made))) < 0) {
        TRACE_ERROR("the certificate in %s has expired", certificate);
        SSL_CTX_free(made);
        return nullptr;
    }
    if (client_ca != nullptr) {
        STACK_OF(X509_NAME) *names = SSL_load_client_CA_file(client_ca);
        if (names == nullptr || SSL_CTX_load_verify_locations(made, client_ca, nullptr) != 1) {
            if (names != nullptr)
                sk_X509_NAME_pop_free(names, X509_NAME_free);
            TRACE_ERROR("no CA certificate in %s: %s", client_ca,
                        openssl_reason("not PEM").c_str());
            SSL_CTX_free(made);
            return nullptr;
        }
        SSL_CTX_set_client_CA_list(made, names);
        SSL_CTX_set_verify(made, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        // A client certificate must be one for clients (key usage, extended
        // key usage).
        SSL_CTX_set_purpose(made, X509_PURPOSE_SSL_CLIENT);
    }
    return made;
}

// ---- the stream ----------------------------------------------------------

// A plain mutex, without trace records: it is taken for every read and
// write of a connection.
std::mutex tls_stream_lock;
// Under tls_stream_lock. Two at most: the client being served and the one
// taking its place.
std::vector<std::pair<int, SSL *>> sessions;

SSL *session_of_locked(int fd) {
    for (auto &entry : sessions)
        if (entry.first == fd)
            return entry.second;
    return nullptr;
}

// An SSL result as a socket call's: -1 with errno EAGAIN while the session
// waits for the socket, ECONNRESET when it broke.
ssize_t as_socket_result(SSL *session, int n) {
    if (n > 0)
        return n;
    switch (SSL_get_error(session, n)) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            errno = EAGAIN;
            return -1;
        case SSL_ERROR_ZERO_RETURN:
            return 0;
        case SSL_ERROR_SYSCALL:
            ERR_clear_error();
            if (errno == 0)
                return 0;  // the peer closed without a goodbye
            return -1;
        default:
            ERR_clear_error();
            errno = ECONNRESET;
            return -1;
    }
}

// ---- the handshakes ----------------------------------------------------

struct Pending {
    int fd = -1;
    SSL *session = nullptr;
    Clock::time_point deadline;
    short events = POLLIN;
    bool looked = false;  // whether its first bytes were seen to be TLS
    std::string who;
};

class Handshakes {
  public:
    bool start(TlsServe serve);
    void stop();
    void begin(int fd, const char *who);

  private:
    static void *main(void *self);
    void run();
    // True when p is finished with (served or refused).
    bool step(Pending &p);
    void refuse(Pending &p, const std::string &why);

    std::mutex lock_;
    std::vector<Pending> arriving_;  // under lock_
    bool stopping_ = false;          // under lock_
    int wake_ = -1;
    bool running_ = false;  // under lock_
    pthread_t thread_{};
    TlsServe serve_ = nullptr;
    SSL_CTX *context_ = nullptr;
    std::vector<Pending> pending_;  // the thread's own
};

Handshakes handshakes;

bool Handshakes::start(TlsServe serve) {
    context_ = current_context();
    if (context_ == nullptr)
        return false;
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_ < 0) {
        TRACE_ERROR_ERRNO("eventfd() for the handshakes");
        SSL_CTX_free(context_);
        context_ = nullptr;
        return false;
    }
    serve_ = serve;
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = false;
        running_ = true;
    }
    int rc = pthread_create(&thread_, nullptr, main, this);
    if (rc != 0) {
        errno = rc;
        TRACE_ERROR_ERRNO("pthread_create() of the handshake thread");
        {
            std::lock_guard<std::mutex> guard(lock_);
            running_ = false;
        }
        Close(wake_);
        wake_ = -1;
        SSL_CTX_free(context_);
        context_ = nullptr;
        return false;
    }
    return true;
}

void Handshakes::stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!running_)
            return;
        stopping_ = true;
    }
    const uint64_t one = 1;
    if (write(wake_, &one, sizeof one) < 0)
        TRACE_ERROR_ERRNO("wake the handshake thread");
    pthread_join(thread_, nullptr);
    {
        std::lock_guard<std::mutex> guard(lock_);
        running_ = false;
        for (Pending &p : arriving_)
            Close(p.fd);
        arriving_.clear();
    }
    Close(wake_);
    wake_ = -1;
    SSL_CTX_free(context_);
    context_ = nullptr;
}

void Handshakes::begin(int fd, const char *who) {
    Pending p;
    p.fd = fd;
    p.who = who;
    p.deadline = Clock::now() + std::chrono::milliseconds(netbridge_tuning::handshake_limit_ms);
    bool taken = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (running_ && !stopping_) {
            arriving_.push_back(std::move(p));
            taken = true;
        }
    }
    if (!taken) {
        Close(fd);
        return;
    }
    const uint64_t one = 1;
    if (write(wake_, &one, sizeof one) < 0)
        TRACE_ERROR_ERRNO("wake the handshake thread");
}

void *Handshakes::main(void *self) {
    pthread_setname_np(pthread_self(), "nb_handshake");
    static_cast<Handshakes *>(self)->run();
    return nullptr;
}

void Handshakes::refuse(Pending &p, const std::string &why) {
    TRACE_ERROR_LIMITED(refusal_records, "TLS client %s refused: %s", p.who.c_str(), why.c_str());
    SSL_free(p.session);
    p.session = nullptr;
    // What the client sent meanwhile (its first call, after a handshake that
    // only we found wanting) is read away: closing on unread bytes would
    // reset the connection and lose the alert that tells it why.
    char unread[4096];
    for (int i = 0; i < 16 && recv(p.fd, unread, sizeof unread, MSG_DONTWAIT) > 0; ++i) {
    }
    shutdown(p.fd, SHUT_WR);
    Close(p.fd);
    p.fd = -1;
}

bool Handshakes::step(Pending &p) {
    if (!p.looked) {
        // A plain client's first bytes are no TLS record: it hears so in a
        // way it can tell, and goes.
        unsigned char first = 0;
        ssize_t n = recv(p.fd, &first, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return false;
        if (n <= 0) {
            refuse(p, "the client closed the connection before its handshake");
            return true;
        }
        if (first != kHandshakeRecord) {
            if (send(p.fd, kPlainClientAlert, sizeof kPlainClientAlert,
                     MSG_NOSIGNAL | MSG_DONTWAIT) < 0)
                TRACE_INFO("no alert for the plain client: %s", strerror(errno));
            refuse(p, "not a TLS client (plain TCP?)");
            return true;
        }
        p.looked = true;
        p.session = SSL_new(context_);
        BIO *bio = p.session != nullptr ? tls_bio::on_socket(p.fd) : nullptr;
        if (bio == nullptr) {
            refuse(p, "out of memory");
            return true;
        }
        SSL_set_bio(p.session, bio, bio);
        SSL_set_accept_state(p.session);
    }
    ERR_clear_error();
    errno = 0;
    const int done = SSL_do_handshake(p.session);
    if (done == 1) {
        std::string subject;
        if (X509 *certificate = SSL_get1_peer_certificate(p.session)) {
            subject = subject_of(certificate);
            X509_free(certificate);
        }
        // From here the driver's.
        serve_(p.fd, p.session, p.who.c_str(), subject.empty() ? nullptr : subject.c_str());
        p.fd = -1;
        p.session = nullptr;
        return true;
    }
    const int error = SSL_get_error(p.session, done);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        p.events = error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
        return false;
    }
    const long verified = SSL_get_verify_result(p.session);
    std::string why;
    if (verified != X509_V_OK)
        why = X509_verify_cert_error_string(verified);
    else if (error == SSL_ERROR_SYSCALL || error == SSL_ERROR_ZERO_RETURN)
        why = errno != 0 ? strerror(errno) : "the client closed the connection in its handshake";
    else
        why = openssl_reason("the handshake failed");
    ERR_clear_error();
    refuse(p, why);
    return true;
}

void Handshakes::run() {
    std::vector<struct pollfd> watched;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stopping_)
                break;
            for (Pending &p : arriving_) {
                if (pending_.size() >= kMaxHandshakes) {
                    refuse(pending_.front(), "too many handshakes at once");
                    pending_.erase(pending_.begin());
                }
                pending_.push_back(std::move(p));
            }
            arriving_.clear();
        }
        watched.assign(1, {wake_, POLLIN, 0});
        Clock::time_point first_deadline = Clock::time_point::max();
        for (const Pending &p : pending_) {
            watched.push_back({p.fd, p.events, 0});
            first_deadline = std::min(first_deadline, p.deadline);
        }
        int wait_ms = -1;
        if (!pending_.empty()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(first_deadline -
                                                                                    Clock::now());
            wait_ms = static_cast<int>(std::max<int64_t>(0, left.count() + 1));
        }
        if (poll(watched.data(), watched.size(), wait_ms) < 0 && errno != EINTR) {
            TRACE_ERROR_ERRNO("poll() of the handshakes");
            usleep(1000);
            continue;
        }
        if (watched[0].revents != 0) {
            uint64_t count;
            if (read(wake_, &count, sizeof count) < 0 && errno != EAGAIN)
                TRACE_ERROR_ERRNO("read the handshake thread's wake-up");
        }
        const Clock::time_point now = Clock::now();
        std::vector<Pending> left;
        left.reserve(pending_.size());
        for (size_t i = 0; i < pending_.size(); ++i) {
            Pending &p = pending_[i];
            bool finished = false;
            if (watched[i + 1].revents != 0)
                finished = step(p);
            if (!finished && now >= p.deadline) {
                refuse(p, "no handshake within the time limit");
                finished = true;
            }
            if (!finished)
                left.push_back(std::move(p));
        }
        pending_.swap(left);
    }
    for (Pending &p : pending_) {
        SSL_free(p.session);
        Close(p.fd);
    }
    pending_.clear();
}

}  // namespace

bool tls_on() {
    std::lock_guard<std::mutex> guard(context_lock);
    return context != nullptr;
}

bool tls_handshakes_start(TlsServe serve) {
    return handshakes.start(serve);
}

void tls_handshakes_stop() {
    handshakes.stop();
}

void tls_handshake_begin(int fd, const char *who) {
    handshakes.begin(fd, who);
}

void stream_attach(int fd, SSL *session) {
    std::lock_guard<std::mutex> guard(tls_stream_lock);
    sessions.emplace_back(fd, session);
}

void stream_forget(int fd) {
    std::lock_guard<std::mutex> guard(tls_stream_lock);
    auto at = std::find_if(sessions.begin(), sessions.end(),
                           [fd](const auto &entry) { return entry.first == fd; });
    if (at == sessions.end())
        return;
    ERR_clear_error();
    SSL_shutdown(at->second);
    ERR_clear_error();
    SSL_free(at->second);
    sessions.erase(at);
}

ssize_t stream_recv(int fd, void *buffer, size_t length, bool *drained) {
    *drained = false;
    {
        std::lock_guard<std::mutex> guard(tls_stream_lock);
        if (SSL *session = session_of_locked(fd)) {
            tls_bio::clear_stale_errors();
            errno = 0;
            const int n =
                SSL_read(session, buffer, static_cast<int>(std::min<size_t>(length, INT32_MAX)));
            // Read ahead took what the socket had, up to its buffer: with
            // nothing left in the session, a wait sees whether more came.
            *drained = n > 0 && static_cast<size_t>(n) < length && SSL_has_pending(session) == 0;
            return as_socket_result(session, n);
        }
    }
    return recv(fd, buffer, length, 0);
}

bool stream_buffered(int fd) {
    std::lock_guard<std::mutex> guard(tls_stream_lock);
    SSL *session = session_of_locked(fd);
    return session != nullptr && SSL_has_pending(session) == 1;
}

ssize_t stream_send(int fd, const void *bytes, size_t length) {
    {
        std::lock_guard<std::mutex> guard(tls_stream_lock);
        if (SSL *session = session_of_locked(fd)) {
            tls_bio::clear_stale_errors();
            errno = 0;
            const int n =
                SSL_write(session, bytes, static_cast<int>(std::min<size_t>(length, INT32_MAX)));
            return as_socket_result(session, n);
        }
    }
    return send(fd, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
}

extern "C" int set_tls(const char *certificate, const char *key, const char *client_ca) {
    TRACE_SCOPE();
    SSL_CTX *made = nullptr;
    if (certificate != nullptr || key != nullptr || client_ca != nullptr) {
        if (certificate == nullptr || key == nullptr) {
            TRACE_ERROR("a certificate needs its key, and a key its certificate");
            return -1;
        }
        made = make_context(certificate, key, client_ca);
        if (made == nullptr)
            return -1;
    }
    std::lock_guard<std::mutex> guard(context_lock);
    SSL_CTX_free(context);
    context = made;
    return 0;
}
