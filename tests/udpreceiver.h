// A UDP receiver for the LED output's tests: bound to an IPv4 address (joining the group on the
// loopback device when it is a multicast one), it takes datagrams with the kernel's receive time
// and the time-to-live they arrived with. On loopback the kernel stamps a datagram inside the
// sender's sendto() call, so the stamps show the sender's spacing without this side's scheduling.
#ifndef TESTS_UDPRECEIVER_H
#define TESTS_UDPRECEIVER_H

#include <arpa/inet.h>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

struct Datagram {
    std::vector<std::uint8_t> bytes;
    double stampSec = 0.0; // the kernel's receive time (CLOCK_REALTIME)
    int ttl = -1;
};

class UdpReceiver {
public:
    // port 0 picks a free one (port()); false from ok() when the socket cannot be had.
    UdpReceiver(const char* address, std::uint16_t port)
    {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        ok_ = fd_ >= 0 && ::inet_pton(AF_INET, address, &a.sin_addr) == 1;
        const int on = 1;
        ok_ = ok_ && ::setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on)) == 0
            && ::setsockopt(fd_, IPPROTO_IP, IP_RECVTTL, &on, sizeof(on)) == 0
            && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
        if (ok_ && IN_MULTICAST(ntohl(a.sin_addr.s_addr))) {
            ip_mreq join {};
            join.imr_multiaddr = a.sin_addr;
            join.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
            ok_ = ::setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof(join)) == 0;
        }
        socklen_t size = sizeof(a);
        if (ok_ && ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size) == 0)
            port_ = ntohs(a.sin_port);
    }
    ~UdpReceiver()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    bool ok() const { return ok_; }
    std::uint16_t port() const { return port_; }

    // The next datagram within timeoutMs; false when none came.
    bool receive(Datagram* d, int timeoutMs)
    {
        pollfd p { fd_, POLLIN, 0 };
        if (::poll(&p, 1, timeoutMs) != 1)
            return false;
        std::uint8_t buffer[2048];
        alignas(cmsghdr) char control[256];
        iovec io { buffer, sizeof(buffer) };
        msghdr m {};
        m.msg_iov = &io;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof(control);
        const ssize_t n = ::recvmsg(fd_, &m, 0);
        if (n < 0)
            return false;
        d->bytes.assign(buffer, buffer + n);
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec t {};
                std::memcpy(&t, CMSG_DATA(c), sizeof(t));
                d->stampSec = double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
            } else if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) {
                std::memcpy(&d->ttl, CMSG_DATA(c), sizeof(int));
            }
        }
        return true;
    }

private:
    int fd_ = -1;
    bool ok_ = false;
    std::uint16_t port_ = 0;
};

#endif
