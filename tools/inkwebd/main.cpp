// inkwebd: a WebSocket gateway on the loopback interface through which
// signing pages in a browser reach the signature pads of this machine, or
// (--connect) the pads behind a bridge.
#include <cstdio>
#include <string>

#include "options.h"
#include "page.h"

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
        printf("inkwebd %s\n", INKWEBD_VERSION);
        return 0;
    }
    (void)inkwebd::built_in_page();
    fprintf(stderr, "inkwebd: serving is not built yet\n");
    return 1;
}
