#pragma once
// A TCP socket on 127.0.0.1 at a port the system picks, for servers of the tests' own.

#include <QtGlobal>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

struct Loopback {
    // Listening with `backlog`, or only bound (a free port to hand on) when it is negative. The
    // caller closes `fd`.
    explicit Loopback(int backlog = -1) : fd(::socket(AF_INET, SOCK_STREAM, 0)) {
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof address;
        ::bind(fd, addr(), sizeof address);
        if (backlog >= 0) ::listen(fd, backlog);
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &n);
    }
    quint16 port() const { return ntohs(address.sin_port); }
    const sockaddr *addr() const { return reinterpret_cast<const sockaddr *>(&address); }

    int fd;
    sockaddr_in address{};
};
