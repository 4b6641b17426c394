// netbridged: runs the TCP bridge on a host and port from the command line
// until it is interrupted. A first SIGINT or SIGTERM closes the bridge
// (within 5 s, whatever the agent does) and ends the program with status 0;
// a second one, while that close still waits for the agent, ends it at once. Without a listener for
// a minute (the bridge could not open one again) the program gives up with status 1, so that a
// service manager starts it afresh.
#include <getopt.h>
#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "netbridge/netbridge.h"
#include "wrappers.h"
#include "wrappthread.h"
#include "wrapunix.h"

// Exported for tools that look at the running program. C sees do_loop as a
// plain bool: the main thread polls it, the close thread clears it.
static_assert(std::atomic<bool>::is_always_lock_free && sizeof(std::atomic<bool>) == sizeof(bool));
extern "C" {
__attribute__((visibility("default"))) std::atomic<bool> do_loop{false};
__attribute__((visibility("default"))) pthread_mutex_t wait_for_thread_lock =
    PTHREAD_MUTEX_INITIALIZER;
}

namespace {

constexpr const char kVersion[] = "2.3.3";
// How long the program goes on without a listener before it gives up.
constexpr int kListenerGraceS = 60;
constexpr int kLoopPauseUs = 50000;
// Exit status after a second interrupt is 128 + its number, as a shell
// reports one.
constexpr int kSignalledStatus = 128;

// Options without a short form.
enum LongOnly { kAllow = 256, kExclusive, kIdleTimeout };

constexpr const char kUsage[] =
    "\n"
    "Usage: netbridged [--hostname=<hostname/IPaddress>] --port=<service/port>\n"
    "\n"
    "Options:\n"
    "  -n,  --hostname=<hostname/IPaddress>  Specify IP address or host-name\n"
    "  -p,  --port=<service/port>            Specify port number or service name\n"
    "       --allow=<network>                Serve clients of this network only\n"
    "                                        (repeatable; 10.1.0.0/16, ::1, ...)\n"
    "       --exclusive                      Refuse new clients while one is connected\n"
    "       --idle-timeout=<seconds>         Let a client go that sends nothing that long\n"
    "  -v,  --version                        Print the version number\n"
    "  -h,  --help                           Give this help list\n"
    "\n"
    "Examples:\n"
    "  netbridged -p 8888\n"
    "  netbridged --hostname=192.168.117.142 --port=8888\n"
    "  netbridged -n localhost -p 8888\n"
    "\n"
    "Report bugs to the inkport maintainers <maintainers@inkport.example>.\n";

// Posted by the interrupt thread on the first SIGINT or SIGTERM; the close thread
// waits for it.
sem_t interrupt;
// Both are taken by one thread with sigwait and blocked in every other
// one, the agent's included. A handler runs on whichever thread the signal
// lands on, and an instrumented runtime defers it until that thread next
// enters the runtime: one stalled inside the agent then kept the second
// interrupt from ending the program.
sigset_t interrupt_signals;
// SIGPIPE cannot come from the bridge's own writes; should some other write
// raise it, the main loop traces it outside the handler.
std::atomic<int> broken_pipes{0};
static_assert(std::atomic<int>::is_always_lock_free);

void usage() {
    fputs(kUsage, stderr);
}

void version() {
    printf("netbridged v%s\n\n", kVersion);
    printf("Written by the inkport developers.\n");
}

void *interrupt_main(void *) {
    // The first asks for an orderly close; whoever asks again does not want
    // to wait for it.
    for (int count = 0;;) {
        int signal_number;
        if (sigwait(&interrupt_signals, &signal_number) != 0)
            continue;
        if (++count > 1)
            _exit(kSignalledStatus + signal_number);
        sem_post(&interrupt);
    }
    return nullptr;
}

void sig_pipe(int) {
    broken_pipes.fetch_add(1);
}

// Closes the bridge once an interrupt arrives.
void *thread_main(void *) {
    trace_enter(__FILE_NAME__, __LINE__, "close_thread");
    while (sem_wait(&interrupt) != 0 && errno == EINTR) {
    }
    {
        LOCK_GUARD(guard, &wait_for_thread_lock);
        // A close that had to leave a thread inside the agent ends the
        // process without running its destructors, which that thread may
        // still need.
        if (do_loop && DriverClose() != 0) {
            fflush(stdout);
            fflush(stderr);
            _exit(0);
        }
        do_loop = false;
    }
    trace_exit(__FILE_NAME__, __LINE__, "close_thread");
    return nullptr;
}

// Copies of the option arguments that live as long as the process: the
// bridge keeps the pointers.
const char *option_host = nullptr;
const char *option_port = nullptr;

// A copy that lives as long as the process: the bridge keeps the pointer.
char *copy_argument(const char *argument) {
    size_t length = strlen(argument);
    auto *copy = static_cast<char *>(Malloc(length + 1));
    if (copy != nullptr)
        memcpy(copy, argument, length + 1);
    return copy;
}

// Adds an --allow network; false (after saying why) when it is none.
bool allow(const char *network) {
    if (set_allow(network) == 0)
        return true;
    fprintf(stderr,
            "netbridged: --allow %s: not an address or a network (for example 10.1.0.0/16 or "
            "::1)\n",
            network);
    return false;
}

// A value given to -n or -p; false (after saying so) when it is empty,
// which a shell variable that is not set gives.
bool given(const char *option, const char *value) {
    if (value != nullptr && *value != '\0')
        return true;
    fprintf(stderr, "netbridged: %s: empty; give a %s\n", option,
            strcmp(option, "--port") == 0 ? "port number or service name"
                                          : "host name or address, or leave the option out");
    return false;
}

// Seconds for --idle-timeout: digits only, at most a day.
bool idle_timeout(const char *text) {
    constexpr long kMaxS = 86400;
    char *end = nullptr;
    errno = 0;
    const long seconds = strtol(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || seconds > kMaxS) {
        fprintf(stderr, "netbridged: --idle-timeout %s: not a number of seconds (0 to %ld)\n", text,
                kMaxS);
        return false;
    }
    set_idle_timeout(static_cast<int>(seconds));
    return true;
}

// The listening socket, as the bridge has it (it writes it atomically).
bool listening() {
    return __atomic_load_n(&a_socket, __ATOMIC_SEQ_CST) >= 0;
}

// Idles until the bridge is closed by an interrupt; false when it lost its
// listener for good meanwhile.
bool idle() {
    int without_listener_us = 0;
    while (do_loop) {
        usleep(kLoopPauseUs);
        for (int n = broken_pipes.exchange(0); n > 0; --n)
            if (trace_on(TraceClass::info))
                trace_info(__FILE_NAME__, __LINE__, "sig_pipe",
                           "Catched SIGPIPE signal, some socket had been shutdown");
        without_listener_us = listening() ? 0 : without_listener_us + kLoopPauseUs;
        if (without_listener_us >= kListenerGraceS * 1000000) {
            TRACE_ERROR("no listener for %d s: giving up", kListenerGraceS);
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    printf("Welcome to use NETBRIDGED programme...\n");
    fflush(stdout);
    TRACE_INFO("version %s", kVersion);

    static const struct option kOptions[] = {
        {"hostname", required_argument, nullptr, 'n'},
        {"port", required_argument, nullptr, 'p'},
        {"allow", required_argument, nullptr, kAllow},
        {"exclusive", no_argument, nullptr, kExclusive},
        {"idle-timeout", required_argument, nullptr, kIdleTimeout},
        {"version", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;  // the usage text says what is wrong
    int option;
    while ((option = getopt_long(argc, argv, "hvp:n:", kOptions, nullptr)) != -1) {
        switch (option) {
            case 'n':
                if (!given("--hostname", optarg))
                    return -1;
                option_host = copy_argument(optarg);
                break;
            case 'p':
                if (!given("--port", optarg))
                    return -1;
                option_port = copy_argument(optarg);
                break;
            case kAllow:
                if (!allow(optarg))
                    return -1;
                break;
            case kExclusive:
                set_exclusive(true);
                break;
            case kIdleTimeout:
                if (!idle_timeout(optarg))
                    return -1;
                break;
            case 'h':
                usage();
                return 0;
            case 'v':
                version();
                return 0;
            default:
                usage();
                return -1;
        }
    }
    if (option_port == nullptr) {
        usage();
        return -1;
    }

    // Blocked before any other thread exists, so that all of them inherit it.
    sigemptyset(&interrupt_signals);
    sigaddset(&interrupt_signals, SIGINT);
    sigaddset(&interrupt_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &interrupt_signals, nullptr);
    sem_init(&interrupt, 0, 0);
    pthread_t close_thread;
    pthread_t interrupt_thread;
    int rc = pthread_create(&close_thread, nullptr, thread_main, nullptr);
    if (rc == 0) {
        rc = pthread_create(&interrupt_thread, nullptr, interrupt_main, nullptr);
        if (rc == 0)
            pthread_detach(interrupt_thread);
    }
    if (rc != 0) {
        errno = rc;
        TRACE_ERROR_ERRNO("pthread_create() of the close or interrupt thread");
        return 1;
    }
    signal(SIGPIPE, sig_pipe);

    int opened;
    {
        // An interrupt during the open waits for it, then closes what it opened.
        LOCK_GUARD(guard, &wait_for_thread_lock);
        if (option_host != nullptr)
            set_ip(option_host);
        set_port(option_port);
        opened = DriverOpen();
        do_loop = opened == 0;
    }
    if (opened != 0)
        return 1;

    if (!idle()) {
        LOCK_GUARD(guard, &wait_for_thread_lock);
        if (do_loop)
            DriverClose();
        do_loop = false;
        return 1;
    }
    pthread_join(close_thread, nullptr);
    return 0;
}
