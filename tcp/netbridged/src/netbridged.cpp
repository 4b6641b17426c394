#include <cstdio>

#include "wrappers.h"

// The runner's options and signal handling arrive with the channel driver.
int main()
{
    fprintf(stderr, "netbridged: the TCP bridge is not available in this build\n");
    return 255;
}
