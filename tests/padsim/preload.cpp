#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <link.h>
#include <unistd.h>

#include "padsim.h"

namespace padsim {
namespace {

constexpr const char *kPreload = "libumockdev-preload.so.0";
constexpr const char *kAgainVar = "PADSIM_PRELOAD_RETRY";
// LD_PRELOAD as the program found it, kept across the restart.
constexpr const char *kOriginalVar = "PADSIM_ORIGINAL_PRELOAD";

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

}  // namespace

void restart_under_preload(char **argv) {
    Loaded loaded;
    dl_iterate_phdr(find_libraries, &loaded);
    if (loaded.preload) {
        return;
    }
    if (std::getenv(kAgainVar)) {
        std::fprintf(stderr, "padsim: %s did not load; the virtual pads stay invisible\n",
                     kPreload);
        return;
    }
    const char *old = std::getenv("LD_PRELOAD");
    const std::string original = old ? old : "";
    std::string preload = loaded.sanitizer.empty() ? "" : loaded.sanitizer + ":";
    preload += kPreload;
    if (!original.empty()) {
        preload += ":" + original;
    }
    setenv(kOriginalVar, original.c_str(), 1);
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv(kAgainVar, "1", 1);
    execv("/proc/self/exe", argv);
    std::perror("padsim: re-exec under libumockdev-preload");
}

void preload_child() {
    const char *original = std::getenv(kOriginalVar);
    if (!original) {
        original = std::getenv("LD_PRELOAD");
    }
    std::string preload = kPreload;
    if (original && *original && std::strstr(original, kPreload) == nullptr) {
        preload += ":";
        preload += original;
    }
    setenv("LD_PRELOAD", preload.c_str(), 1);
    unsetenv(kAgainVar);
    unsetenv(kOriginalVar);
}

}  // namespace padsim
