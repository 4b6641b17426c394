// inkwebd: a WebSocket gateway on the loopback interface through which
// signing pages in a browser reach the signature pads of this machine, or
// (--connect) the pads behind a bridge.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <string>
#include <thread>

#include "gateway.h"
#include "options.h"

int main(int argc, char **argv) {
    // Options.
    inkwebd::Options options;
    std::string why;
    if (!inkwebd::parse_options(argc, argv, options, why)) {
        fprintf(stderr, "inkwebd: %s\n\n%s", why.c_str(), inkwebd::kUsage);
        return 1;
    }
    if (options.help) {
        fputs(inkwebd::kUsage, stdout);
        return 0;
    }
    if (options.version) {
        printf("inkwebd %s\n", INKPORT_VERSION_STRING);
        return 0;
    }

    // Set-up. SIGINT and SIGTERM are taken by one thread with sigwait, so
    // they are blocked before any other thread (the pad library's too)
    // exists; SIGUSR1 tells that thread to end.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<inkclient::PadStack> stack;
    if (options.connect.empty()) {
        stack = inkclient::make_local_stack();
    } else {
        std::string host, port;
        inkwebd::split_host_port(options.connect, host, port);
        if (inkclient::Error e = inkclient::connect_remote(host, port, {}, stack); !e.ok()) {
            fprintf(stderr, "inkwebd: cannot reach the bridge at %s: %s\n", options.connect.c_str(),
                    e.message.c_str());
            return 1;
        }
    }
    if (inkclient::Error e = stack->initialize(); !e.ok()) {
        fprintf(stderr, "inkwebd: the pads cannot be opened: %s\n", inkclient::describe(e).c_str());
        return 1;
    }

    inkwebd::Config config;
    config.hostname = options.hostname;
    config.port = options.port;
    config.allow_origins = options.allow_origins;
    config.version = INKPORT_VERSION_STRING;
    inkwebd::Gateway gateway(config, std::move(stack));
    if (!gateway.listen(why)) {
        fprintf(stderr, "inkwebd: %s\n", why.c_str());
        return 1;
    }
    const bool v6 = options.hostname.find(':') != std::string::npos;
    printf("inkwebd: serving http://%s%s%s:%u/\n", v6 ? "[" : "", options.hostname.c_str(),
           v6 ? "]" : "", gateway.port());
    fflush(stdout);

    std::thread waiter([&] {
        for (;;) {
            int sig = 0;
            if (sigwait(&signals, &sig) != 0 || sig == SIGUSR1)
                return;
            gateway.stop();
        }
    });

    // Run until a signal; then shut down: the pages are closed with 1001
    // and the pads released before run() returns.
    gateway.run();
    pthread_kill(waiter.native_handle(), SIGUSR1);
    waiter.join();
    return 0;
}
