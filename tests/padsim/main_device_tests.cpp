// main() of every device test executable (see padsim_add_device_tests).
//
// The tests and the virtual pads share one process, so the process itself
// needs libumockdev-preload. When it is missing the program starts itself
// again with it, the way umockdev-wrapper would start it; a sanitizer runtime
// that is already loaded is put first, where it insists on being.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <link.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

constexpr const char *kPreload = "libumockdev-preload.so.0";
constexpr const char *kAgainVar = "PADSIM_PRELOAD_RETRY";

struct Loaded {
    bool preload = false;
    std::string sanitizer;
};

int find_libraries(struct dl_phdr_info *info, size_t, void *data) {
    auto *loaded = static_cast<Loaded *>(data);
    const char *name = info->dlpi_name;
    if (!name || !*name) {
        return 0;
    }
    const char *base = std::strrchr(name, '/');
    base = base ? base + 1 : name;
    if (std::strncmp(base, "libumockdev-preload", 19) == 0) {
        loaded->preload = true;
    } else if (loaded->sanitizer.empty() && (std::strncmp(base, "libasan.so", 10) == 0 ||
                                             std::strncmp(base, "libtsan.so", 10) == 0)) {
        loaded->sanitizer = name;
    }
    return 0;
}

void restart_with_preload(char **argv) {
    Loaded loaded;
    dl_iterate_phdr(find_libraries, &loaded);
    if (loaded.preload) {
        return;
    }
    if (std::getenv(kAgainVar)) {
        std::fprintf(stderr, "padsim: %s did not load; device tests cannot see virtual pads\n",
                     kPreload);
        return;
    }
    std::string preload = loaded.sanitizer.empty() ? "" : loaded.sanitizer + ":";
    preload += kPreload;
    if (const char *old = std::getenv("LD_PRELOAD"); old && *old) {
        preload += ":";
        preload += old;
    }
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv(kAgainVar, "1", 1);
    execv("/proc/self/exe", argv);
    std::perror("padsim: re-exec under libumockdev-preload");
}

}  // namespace

int main(int argc, char **argv) {
    restart_with_preload(argv);
    // Emulated transfers are chains of short sleeps and wake-ups between
    // threads; the default timer slack of 50 us adds up.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
