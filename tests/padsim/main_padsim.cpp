// padsim: runs a command with virtual signature pads plugged in.
//
//   padsim [options] --hid VID:PID[:SERIAL[:INTERFACES]] ... -- COMMAND [ARGS...]
//
// The command (and everything it starts) sees the pads through the real
// libusb and hidapi, as umockdev-run would show them: UMOCKDEV_DIR names the
// testbed and libumockdev-preload is preloaded. padsim exits with the
// command's status; SIGINT and SIGTERM are passed on to the command.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <getopt.h>
#include <sys/wait.h>
#include <unistd.h>

#include "loopback_firmware.h"
#include "padsim.h"

#if __has_include("firmware_model.h")
#include "firmware_model.h"
#define PADSIM_HAVE_MODEL 1
#endif

namespace {

volatile sig_atomic_t g_child = 0;

void forward_signal(int sig) {
    if (g_child > 0) {
        kill(g_child, sig);
    }
}

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: padsim [options] -- COMMAND [ARGS...]\n"
                 "  --hid VID:PID[:SERIAL[:INTERFACES]]   a HID pad (hex ids)\n"
                 "  --vcom VID:PID[:SERIAL[:IN[:OUT]]]     a VCOM pad; IN/OUT: bulk sizes\n"
                 "  --manufacturer TEXT                    for the pads that follow\n"
                 "  --product TEXT                         for the pads that follow\n"
                 "  --loopback                             loopback firmware instead of the model\n"
                 "  --log                                  print each pad's transfers at exit\n"
                 "  -h, --help\n");
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = s.find(sep, start);
        parts.push_back(s.substr(start, at - start));
        if (at == std::string::npos) {
            return parts;
        }
        start = at + 1;
    }
}

bool parse_hex16(const std::string &s, uint16_t &out) {
    char *end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(s.c_str(), &end, 16);
    if (s.empty() || *end || errno || v > 0xFFFF) {
        return false;
    }
    out = static_cast<uint16_t>(v);
    return true;
}

bool parse_count(const std::string &s, long lo, long hi, long &out) {
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 10);
    if (s.empty() || *end || errno || v < lo || v > hi) {
        return false;
    }
    out = v;
    return true;
}

// VID:PID[:SERIAL[:N[:M]]]
bool parse_pad(const std::string &arg, bool hid, padsim::PadConfig &config) {
    auto parts = split(arg, ':');
    uint16_t vid = 0;
    uint16_t pid = 0;
    if (parts.size() < 2 || parts.size() > (hid ? 4u : 5u) || !parse_hex16(parts[0], vid) ||
        !parse_hex16(parts[1], pid)) {
        return false;
    }
    std::string serial = parts.size() > 2 ? parts[2] : "";
    if (hid) {
        long interfaces = 1;
        if (parts.size() > 3 && !parse_count(parts[3], 1, 8, interfaces)) {
            return false;
        }
        config = padsim::PadConfig::hid(vid, pid, serial, static_cast<int>(interfaces));
        return true;
    }
    long in = 64;
    long out = 64;
    if ((parts.size() > 3 && !parse_count(parts[3], 8, 1024, in)) ||
        (parts.size() > 4 && !parse_count(parts[4], 8, 1024, out))) {
        return false;
    }
    config = padsim::PadConfig::vcom(vid, pid, serial, static_cast<uint16_t>(in),
                                     static_cast<uint16_t>(out));
    return true;
}

std::unique_ptr<padsim::Firmware> make_firmware(const padsim::PadConfig &config, bool loopback) {
#ifdef PADSIM_HAVE_MODEL
    if (!loopback) {
        padsim::FirmwareConfig fc;
        if (!config.is_hid()) {
            fc = padsim::FirmwareConfig::vcom_pad();
        } else if (config.vendor_id == 0x1690 && config.product_id == 0x2000) {
            fc = padsim::FirmwareConfig::type1_pad();
        } else {
            fc = padsim::FirmwareConfig::hid_pad();
            fc.described_vendor_id = config.vendor_id;
            fc.described_product_id = config.product_id;
        }
        if (!config.serial.empty()) {
            fc.serial_number = config.serial;
        }
        return std::make_unique<padsim::PadModel>(fc);
    }
#endif
    (void)config;
    (void)loopback;
    return std::make_unique<padsim::LoopbackFirmware>();
}

int run(char **command) {
    std::string preload = "libumockdev-preload.so.0";
    if (const char *old = std::getenv("LD_PRELOAD"); old && *old) {
        preload += ":";
        preload += old;
    }
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("padsim: fork");
        return 127;
    }
    if (pid == 0) {
        setenv("LD_PRELOAD", preload.c_str(), 1);
#if defined(__SANITIZE_ADDRESS__)
        // A sanitized build runs sanitized programs; their runtime would
        // refuse to start behind the preloaded library.
        std::string asan = "verify_asan_link_order=0";
        if (const char *old = std::getenv("ASAN_OPTIONS"); old && *old) {
            asan = std::string(old) + ":" + asan;
        }
        setenv("ASAN_OPTIONS", asan.c_str(), 1);
#endif
        execvp(command[0], command);
        std::fprintf(stderr, "padsim: %s: %s\n", command[0], std::strerror(errno));
        _exit(127);
    }
    g_child = pid;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            std::perror("padsim: waitpid");
            return 127;
        }
    }
    g_child = 0;
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return 127;
}

}  // namespace

int main(int argc, char **argv) {
    enum { kHid = 256, kVcom, kManufacturer, kProduct, kLoopback, kLog };
    static const struct option options[] = {
        {"hid", required_argument, nullptr, kHid},
        {"vcom", required_argument, nullptr, kVcom},
        {"manufacturer", required_argument, nullptr, kManufacturer},
        {"product", required_argument, nullptr, kProduct},
        {"loopback", no_argument, nullptr, kLoopback},
        {"log", no_argument, nullptr, kLog},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };

    // Options.
    std::vector<padsim::PadConfig> configs;
    std::string manufacturer;
    std::string product;
    bool loopback = false;
    bool print_log = false;
    int opt;
    while ((opt = getopt_long(argc, argv, "+h", options, nullptr)) != -1) {
        padsim::PadConfig config;
        switch (opt) {
            case kHid:
            case kVcom:
                if (!parse_pad(optarg, opt == kHid, config)) {
                    std::fprintf(stderr, "padsim: bad pad '%s'\n", optarg);
                    usage(stderr);
                    return 2;
                }
                if (!manufacturer.empty()) {
                    config.manufacturer = manufacturer;
                }
                if (!product.empty()) {
                    config.product = product;
                }
                configs.push_back(std::move(config));
                break;
            case kManufacturer:
                manufacturer = optarg;
                break;
            case kProduct:
                product = optarg;
                break;
            case kLoopback:
                loopback = true;
                break;
            case kLog:
                print_log = true;
                break;
            case 'h':
                usage(stdout);
                return 0;
            default:
                usage(stderr);
                return 2;
        }
    }
    if (optind >= argc) {
        usage(stderr);
        return 2;
    }

    // Set-up.
    padsim::Testbed bed;
    if (!bed.ok()) {
        std::fprintf(stderr, "padsim: cannot create the umockdev testbed\n");
        return 1;
    }
    for (const auto &config : configs) {
        if (!bed.add_pad(config, make_firmware(config, loopback))) {
            std::fprintf(stderr, "padsim: cannot add pad %04x:%04x\n", config.vendor_id,
                         config.product_id);
            return 1;
        }
    }
    struct sigaction sa {};
    sa.sa_handler = forward_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    // Run.
    const int status = run(argv + optind);

    // Shut down.
    if (print_log) {
        for (const auto &pad : bed.pads()) {
            std::fprintf(stderr, "padsim: pad %04x:%04x\n", pad->config().vendor_id,
                         pad->config().product_id);
            for (const auto &t : pad->log()) {
                std::fprintf(stderr, "  %s\n", padsim::to_string(t).c_str());
            }
        }
    }
    return status;
}
