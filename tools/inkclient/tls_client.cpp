#include "tls_client.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "tls_bio.h"

namespace inkclient {
namespace {

using Clock = std::chrono::steady_clock;

// The reason OpenSSL gives last, or the system's; clears the queue.
std::string reason(const char *otherwise) {
    unsigned long code = ERR_peek_last_error();
    const char *text = code != 0 ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    if (text != nullptr)
        return text;
    return errno != 0 ? strerror(errno) : otherwise;
}

bool is_address(const std::string &host) {
    unsigned char bytes[16];
    return inet_pton(AF_INET, host.c_str(), bytes) == 1 ||
           inet_pton(AF_INET6, host.c_str(), bytes) == 1;
}

// A context that trusts the given CAs (or the system's) and presents the
// given certificate; null after setting *why.
SSL_CTX *client_context(const TlsOptions &options, std::string *why) {
    SSL_CTX *context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        *why = reason("out of memory");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // A burst of results is read in one go, not a record at a time (see
    // buffered()).
    SSL_CTX_set_read_ahead(context, 1);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    const bool trusted =
        options.ca_file.empty()
            ? SSL_CTX_set_default_verify_paths(context) == 1
            : SSL_CTX_load_verify_locations(context, options.ca_file.c_str(), nullptr) == 1;
    if (!trusted) {
        *why = "no CA certificate in " +
               (options.ca_file.empty() ? std::string("the system's store") : options.ca_file) +
               ": " + reason("unreadable");
    } else if (!options.cert_file.empty() &&
               (SSL_CTX_use_certificate_chain_file(context, options.cert_file.c_str()) != 1 ||
                SSL_CTX_use_PrivateKey_file(context, options.key_file.c_str(), SSL_FILETYPE_PEM) !=
                    1 ||
                SSL_CTX_check_private_key(context) != 1)) {
        *why = "the client certificate " + options.cert_file + " with key " + options.key_file +
               " cannot be used: " + reason("unreadable");
    } else {
        return context;
    }
    SSL_CTX_free(context);
    return nullptr;
}

// The last context made, kept for the next connection with the same files
// (unchanged since): making one reads and parses them and costs more than
// the handshake itself.
struct CachedContext {
    std::string key;
    SSL_CTX *context = nullptr;
};
std::mutex cache_lock;
CachedContext cache;

// The files and their modification times: a renewed certificate is read
// afresh.
std::string cache_key(const TlsOptions &options) {
    std::string key;
    for (const std::string *file : {&options.ca_file, &options.cert_file, &options.key_file}) {
        struct stat st = {};
        if (!file->empty() && stat(file->c_str(), &st) != 0)
            return {};  // not to be kept: the next attempt says what is wrong
        key += *file + '\n' + std::to_string(st.st_mtim.tv_sec) + '.' +
               std::to_string(st.st_mtim.tv_nsec) + '\n';
    }
    return key;
}

// A context for the options, with a reference of the caller's; null after
// setting *why.
SSL_CTX *shared_context(const TlsOptions &options, std::string *why) {
    const std::string key = cache_key(options);
    std::lock_guard<std::mutex> guard(cache_lock);
    if (!key.empty() && cache.context != nullptr && cache.key == key) {
        SSL_CTX_up_ref(cache.context);
        return cache.context;
    }
    SSL_CTX *made = client_context(options, why);
    if (made != nullptr && !key.empty()) {
        SSL_CTX_free(cache.context);
        SSL_CTX_up_ref(made);
        cache.context = made;
        cache.key = key;
    }
    return made;
}

int remaining_ms(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

}  // namespace

Channel::~Channel() {
    if (session_ != nullptr) {
        SSL_shutdown(session_);
        SSL_free(session_);
        ERR_clear_error();
    }
    close(fd_);
}

std::string Channel::start_tls(const TlsOptions &options, const std::string &host,
                               Clock::time_point deadline) {
    ERR_clear_error();
    std::string why;
    SSL_CTX *context = shared_context(options, &why);
    if (context == nullptr)
        return why;
    session_ = SSL_new(context);
    SSL_CTX_free(context);  // the session keeps its own reference
    BIO *bio = session_ != nullptr ? tls_bio::on_socket(fd_) : nullptr;
    if (bio == nullptr)
        return "out of memory";
    SSL_set_bio(session_, bio, bio);
    const std::string &name = options.name.empty() ? host : options.name;
    // An address is matched against the certificate's IP entries, a name
    // against its DNS entries (and sent, so that a bridge could choose).
    const bool set = is_address(name) ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(session_),
                                                                      name.c_str()) == 1
                                      : SSL_set1_host(session_, name.c_str()) == 1 &&
                                            SSL_set_tlsext_host_name(session_, name.c_str()) == 1;
    if (!set)
        return "cannot verify the name " + name;
    SSL_set_connect_state(session_);
    for (;;) {
        errno = 0;
        const int done = SSL_do_handshake(session_);
        if (done == 1)
            return {};
        const int error = SSL_get_error(session_, done);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            const long verified = SSL_get_verify_result(session_);
            if (verified != X509_V_OK) {
                ERR_clear_error();
                return X509_verify_cert_error_string(verified);
            }
            const unsigned long code = ERR_peek_last_error();
            if (error == SSL_ERROR_SYSCALL ||
                ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
                ERR_clear_error();
                return "the bridge closed the connection in the TLS handshake (does it serve "
                       "plain TCP?)";
            }
            return reason("the handshake failed");
        }
        struct pollfd p = {fd_, static_cast<short>(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT),
                           0};
        int ready = poll(&p, 1, remaining_ms(deadline));
        if (ready == 0)
            return "no TLS handshake with the bridge in time";
        if (ready < 0 && errno != EINTR)
            return strerror(errno);
    }
}

ssize_t Channel::settle(int n) {
    if (n > 0)
        return n;
    const int error = SSL_get_error(session_, n);
    switch (error) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            want_ = error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
            errno = EAGAIN;
            return -1;
        case SSL_ERROR_ZERO_RETURN:
            return 0;
        default: {
            const unsigned long code = ERR_peek_last_error();
            if (ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING ||
                (error == SSL_ERROR_SYSCALL && errno == 0)) {
                ERR_clear_error();
                return 0;
            }
            // The bridge's alert says why it ended the session: a client
            // certificate it does not accept comes to light only here.
            failure_ = "TLS: " + reason("the session failed");
            errno = ECONNRESET;
            return -1;
        }
    }
}

ssize_t Channel::send(const void *bytes, size_t length) {
    if (session_ == nullptr) {
        want_ = POLLOUT;
        ssize_t n = ::send(fd_, bytes, length, MSG_NOSIGNAL);
        if (n < 0)
            failure_ = strerror(errno);
        return n;
    }
    tls_bio::clear_stale_errors();
    errno = 0;
    return settle(SSL_write(session_, bytes, static_cast<int>(length)));
}

ssize_t Channel::recv(void *buffer, size_t length) {
    if (session_ == nullptr) {
        want_ = POLLIN;
        ssize_t n = ::recv(fd_, buffer, length, 0);
        if (n < 0)
            failure_ = strerror(errno);
        return n;
    }
    tls_bio::clear_stale_errors();
    errno = 0;
    return settle(SSL_read(session_, buffer, static_cast<int>(length)));
}

bool Channel::buffered() const {
    return session_ != nullptr && SSL_has_pending(session_) == 1;
}

}  // namespace inkclient
