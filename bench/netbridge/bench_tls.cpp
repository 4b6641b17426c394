// The bridge over TLS against the same bridge over plain TCP, in one run on
// loopback with the stand-in echo agent: round trips of a 98-byte and a
// 2000-byte call, pipelined calls per second, and the time of a handshake
// with a client certificate. Certificates come from scripts/certs.
//
// The bridge runs in this process and loads libinkagent.so by its plain
// name; the build points this program's run path at the echo agent.
#include <stdlib.h>
#include <poll.h>
#include <unistd.h>

#include <openssl/ssl.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bridge_test_util.h"
#include "netbridge_internal.h"
#include "pipelined.h"
#include "site_certs.h"
#include "tls_test_client.h"

using bridge_test::Bytes;
using clock_type = std::chrono::steady_clock;

namespace {

constexpr int kLatencyCalls = 3000;
constexpr int kWarmUpCalls = 200;
constexpr int kHandshakes = 150;
constexpr int kOutstanding = 32;
constexpr auto kThroughputTime = std::chrono::seconds(1);
constexpr int kRounds = 5;

template <typename Connection>
bool receive_exact(Connection &c, char *out, size_t length) {
    while (length > 0) {
        ssize_t n = c.receive_some(out, length);
        if (n <= 0)
            return false;
        out += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

template <typename Connection>
double median_round_trip_us(Connection &c, int size) {
    Bytes call = bridge_test::make_call(0x100, size);
    Bytes answer(call.size());
    std::vector<double> samples;
    for (int i = 0; i < kWarmUpCalls + kLatencyCalls; ++i) {
        auto start = clock_type::now();
        if (!c.send_all(call.data(), call.size()) ||
            !receive_exact(c, answer.data(), answer.size())) {
            fprintf(stderr, "round trip failed\n");
            exit(1);
        }
        if (i >= kWarmUpCalls)
            samples.push_back(
                std::chrono::duration<double, std::micro>(clock_type::now() - start).count());
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

struct Figures {
    double small_us = 0;
    double large_us = 0;
    double small_per_s = 0;
    double large_per_s = 0;
    double small_cpu_us = 0;
    double large_cpu_us = 0;
};

template <typename Connection>
Figures measure(Connection &c) {
    Figures f;
    f.small_us = median_round_trip_us(c, 98);
    f.large_us = median_round_trip_us(c, 2000);
    f.small_per_s = bench_calls::calls_per_s(c, 98, kOutstanding, kThroughputTime, &f.small_cpu_us);
    f.large_per_s =
        bench_calls::calls_per_s(c, 2000, kOutstanding, kThroughputTime, &f.large_cpu_us);
    return f;
}

void keep_best(Figures &best, const Figures &f, bool first) {
    auto low = [&](double &b, double v) { b = first ? v : std::min(b, v); };
    auto high = [&](double &b, double v) { b = first ? v : std::max(b, v); };
    low(best.small_us, f.small_us);
    low(best.large_us, f.large_us);
    high(best.small_per_s, f.small_per_s);
    high(best.large_per_s, f.large_per_s);
    low(best.small_cpu_us, f.small_cpu_us);
    low(best.large_cpu_us, f.large_cpu_us);
}

// What OpenSSL alone costs for one round trip of the same package: two
// records sealed and two opened, between sessions joined in memory, with no
// socket, thread or bridge. The part of the TLS column above no user-space
// tuning of ours can take away.
double records_alone_us(const testutil::SiteCerts &certs, int size) {
    SSL_CTX *server = SSL_CTX_new(TLS_server_method());
    SSL_CTX *client = SSL_CTX_new(TLS_client_method());
    SSL_CTX_use_certificate_file(server, certs.file("bridge.pem").c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(server, certs.file("bridge.key").c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_set_num_tickets(server, 0);
    for (SSL_CTX *ctx : {server, client})
        SSL_CTX_set_ciphersuites(ctx, "TLS_AES_128_GCM_SHA256");
    SSL *s = SSL_new(server);
    SSL *c = SSL_new(client);
    BIO *to_server = nullptr;
    BIO *to_client = nullptr;
    BIO_new_bio_pair(&to_server, 1 << 16, &to_client, 1 << 16);
    SSL_set_bio(s, to_server, to_server);
    SSL_set_bio(c, to_client, to_client);
    SSL_set_accept_state(s);
    SSL_set_connect_state(c);
    for (int i = 0; i < 8 && !(SSL_is_init_finished(s) && SSL_is_init_finished(c)); ++i) {
        SSL_do_handshake(c);
        SSL_do_handshake(s);
    }
    Bytes call = bridge_test::make_call(0x400, size);
    Bytes answer(call.size() + 64);
    const int length = static_cast<int>(call.size());
    auto one = [&] {
        return SSL_write(c, call.data(), length) == length &&
               SSL_read(s, answer.data(), static_cast<int>(answer.size())) == length &&
               SSL_write(s, call.data(), length) == length &&
               SSL_read(c, answer.data(), static_cast<int>(answer.size())) == length;
    };
    bool ok = SSL_is_init_finished(c) == 1;
    for (int i = 0; ok && i < kWarmUpCalls; ++i)
        ok = one();
    const auto start = clock_type::now();
    for (int i = 0; ok && i < kLatencyCalls * 10; ++i)
        ok = one();
    const double us = std::chrono::duration<double, std::micro>(clock_type::now() - start).count() /
                      (kLatencyCalls * 10);
    SSL_free(s);
    SSL_free(c);
    SSL_CTX_free(server);
    SSL_CTX_free(client);
    if (!ok) {
        fprintf(stderr, "records in memory failed\n");
        exit(1);
    }
    return us;
}

int open_bridge() {
    if (DriverOpen() != 0) {
        fprintf(stderr, "the bridge does not open (is the echo agent on the run path?)\n");
        exit(1);
    }
    return bridge_test::port_of(a_socket);
}

void row(const char *what, double tls, double plain, const char *unit, const char *goal) {
    printf("| %-32s | %10.1f | %10.1f | %6.2f | %-8s | %s\n", what, tls, plain, tls / plain, unit,
           goal);
}

}  // namespace

int main() {
    testutil::SiteCerts certs;
    if (!certs.ok()) {
        fprintf(stderr, "scripts/certs failed\n");
        return 1;
    }
    inkclient::TlsOptions client;
    client.on = true;
    client.ca_file = certs.file("ca.pem");
    client.cert_file = certs.file("alice.pem");
    client.key_file = certs.file("alice.key");
    netbridge_tuning::accept_pause_ms = 0;
    set_ip("127.0.0.1");
    set_port("0");
    double load[3] = {};
    getloadavg(load, 3);

    Figures plain;
    Figures tls;
    std::vector<double> handshakes_ms;
    std::vector<double> first_call_ms;
    std::vector<double> handshake_cpu_ms;
    for (int round = 0; round < kRounds; ++round) {
        set_tls(nullptr, nullptr, nullptr);
        {
            bridge_test::Client socket(open_bridge());
            bench_calls::PlainReader c(socket);
            keep_best(plain, measure(c), round == 0);
        }
        DriverClose();
        set_tls(certs.file("bridge.pem").c_str(), certs.file("bridge.key").c_str(),
                certs.file("ca.pem").c_str());
        const int port = open_bridge();
        {
            testutil::TlsTestClient c(port, client);
            if (!c.connected()) {
                fprintf(stderr, "no TLS: %s\n", c.why().c_str());
                return 1;
            }
            keep_best(tls, measure(c), round == 0);
        }
        // From connect to the end of the client's handshake, and to the
        // first answer: the bridge has checked the client's certificate by
        // then.
        Bytes call = bridge_test::make_call(0x300, 98);
        for (int i = 0; i < kHandshakes / kRounds; ++i) {
            // Once the bridge has let the one before go: that takes up to
            // 50 ms, plain or TLS, and is not the handshake.
            bridge_test::wait_until([] { return sockfd.load() < 0; });
            const double cpu_start = bench_calls::cpu_ms();
            const auto start = clock_type::now();
            testutil::TlsTestClient c(port, client);
            const auto shaken = clock_type::now();
            if (!c.connected() || !c.send_all(call) || c.receive_package().size() != call.size()) {
                fprintf(stderr, "handshake failed: %s\n", c.why().c_str());
                return 1;
            }
            const auto answered = clock_type::now();
            handshakes_ms.push_back(
                std::chrono::duration<double, std::milli>(shaken - start).count());
            first_call_ms.push_back(
                std::chrono::duration<double, std::milli>(answered - start).count());
            handshake_cpu_ms.push_back(bench_calls::cpu_ms() - cpu_start);
        }
        DriverClose();
    }
    for (auto *samples : {&handshakes_ms, &first_call_ms, &handshake_cpu_ms})
        std::sort(samples->begin(), samples->end());

    printf("\nbest of %d rounds; load average %.1f at the start, %ld cores\n", kRounds, load[0],
           sysconf(_SC_NPROCESSORS_ONLN));
    printf("| %-32s | %10s | %10s | %6s | %-8s | %s\n", "loopback, echo agent", "TLS 1.3",
           "plain TCP", "ratio", "unit", "goal");
    printf("|%s|%s|%s|%s|%s|------\n", std::string(34, '-').c_str(), std::string(12, '-').c_str(),
           std::string(12, '-').c_str(), std::string(8, '-').c_str(), std::string(10, '-').c_str());
    row("round trip 98 B, median", tls.small_us, plain.small_us, "us", "<= 1.25");
    row("round trip 2000 B, median", tls.large_us, plain.large_us, "us", "<= 1.25");
    row("98 B calls, 32 pipelined", tls.small_per_s, plain.small_per_s, "calls/s", ">= 0.8");
    row("2000 B calls, 32 pipelined", tls.large_per_s, plain.large_per_s, "calls/s", ">= 0.8");
    row("CPU per 98 B call, pipelined", tls.small_cpu_us, plain.small_cpu_us, "us", "");
    row("CPU per 2000 B call, pipelined", tls.large_cpu_us, plain.large_cpu_us, "us", "");
    for (int size : {98, 2000}) {
        double best = 0;
        for (int round = 0; round < kRounds; ++round) {
            const double us = records_alone_us(certs, size);
            best = round == 0 ? us : std::min(best, us);
        }
        const double plain_us = size == 98 ? plain.small_us : plain.large_us;
        char what[64];
        snprintf(what, sizeof what, "OpenSSL alone, %d B round trip", size);
        printf("| %-32s | %10.1f | %10s | %6.2f | %-8s | %s\n", what, best, "", 1 + best / plain_us,
               "us", "ratio: plain + this");
    }
    auto single = [](const char *what, const std::vector<double> &samples, size_t at,
                     const char *goal) {
        printf("| %-32s | %10.2f | %10s | %6s | %-8s | %s\n", what, samples[at], "", "", "ms",
               goal);
    };
    const size_t median = handshakes_ms.size() / 2;
    const size_t p99 = handshakes_ms.size() * 99 / 100;
    single("handshake, median", handshakes_ms, median, "<= 5 ms");
    single("handshake, p99", handshakes_ms, p99, "");
    single("handshake + first call, median", first_call_ms, median, "");
    single("CPU of both ends per handshake", handshake_cpu_ms, median, "");
    return 0;
}
