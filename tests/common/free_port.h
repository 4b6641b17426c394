// Loopback ports for tests of servers.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testutil {

// The port a socket is bound to, or -1.
inline int port_of(int socket) {
    sockaddr_storage ss = {};
    socklen_t length = sizeof ss;
    if (getsockname(socket, reinterpret_cast<sockaddr *>(&ss), &length) < 0)
        return -1;
    if (ss.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
    return ntohs(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port);
}

// A loopback port that was free a moment ago.
inline int free_port() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    int p = port_of(s);
    close(s);
    return p;
}

}  // namespace testutil
