// netbridged: runs the TCP bridge on a host and port from the command line
// until it is interrupted.
#include <getopt.h>
#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
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

constexpr const char kUsage[] =
    "\n"
    "Usage: netbridged [--hostname=<hostname/IPaddress>] --port=<service/port>\n"
    "\n"
    "Options:\n"
    "  -n,  --hostname=<hostname/IPaddress>  Specify IP address or host-name\n"
    "  -p,  --port=<service/port>            Specify port number or service name\n"
    "  -v,  --version                        Print the version number\n"
    "  -h,  --help                           Give this help list\n"
    "\n"
    "Examples:\n"
    "  netbridged -p 8888\n"
    "  netbridged --hostname=192.168.117.142 --port=8888\n"
    "  netbridged -n localhost -p 8888\n"
    "\n"
    "Report bugs to the inkport maintainers <maintainers@inkport.example>.\n";

// Raised by the SIGINT handler, the one thing it does: sem_post is safe in
// a handler, starting a thread is not.
sem_t interrupt;
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

void sig_int(int) {
    sem_post(&interrupt);
}

void sig_pipe(int) {
    broken_pipes.fetch_add(1);
}

// Closes the bridge once an interrupt arrives; a second interrupt finds the
// work done.
void *thread_main(void *) {
    trace_enter(__FILE_NAME__, __LINE__, "close_thread");
    while (sem_wait(&interrupt) != 0 && errno == EINTR) {
    }
    {
        LOCK_GUARD(guard, &wait_for_thread_lock);
        if (do_loop)
            DriverClose();
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

}  // namespace

int main(int argc, char **argv) {
    printf("Welcome to use NETBRIDGED programme...\n");
    fflush(stdout);
    TRACE_INFO("version %s", kVersion);

    static const struct option kOptions[] = {
        {"hostname", required_argument, nullptr, 'n'},
        {"port", required_argument, nullptr, 'p'},
        {"version", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;  // the usage text says what is wrong
    int option;
    while ((option = getopt_long(argc, argv, "hvp:n:", kOptions, nullptr)) != -1) {
        switch (option) {
            case 'n':
                option_host = copy_argument(optarg);
                break;
            case 'p':
                option_port = copy_argument(optarg);
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

    sem_init(&interrupt, 0, 0);
    pthread_t close_thread;
    int rc = pthread_create(&close_thread, nullptr, thread_main, nullptr);
    if (rc != 0) {
        errno = rc;
        TRACE_ERROR_ERRNO("pthread_create() of the close thread");
        return 1;
    }
    signal(SIGINT, sig_int);
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

    while (do_loop) {
        usleep(50000);
        for (int n = broken_pipes.exchange(0); n > 0; --n)
            if (trace_on(TraceClass::info))
                trace_info(__FILE_NAME__, __LINE__, "sig_pipe",
                           "Catched SIGPIPE signal, some socket had been shutdown");
    }
    pthread_join(close_thread, nullptr);
    return 0;
}
