// Listens for LED packets inside the tests' network namespaces, where the test program itself does
// not run: wledlisten ADDRESS PORT SECONDS prints one line per datagram, "ttl=N bytes=N HEX",
// until SECONDS pass without one; "ready" first, once it listens.
#include "udpreceiver.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fputs("usage: wledlisten ADDRESS PORT SECONDS\n", stderr);
        return 2;
    }
    UdpReceiver receiver(argv[1], static_cast<std::uint16_t>(std::atoi(argv[2])));
    if (!receiver.ok()) {
        std::perror("wledlisten");
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    Datagram d;
    while (receiver.receive(&d, std::atoi(argv[3]) * 1000)) {
        std::printf("ttl=%d bytes=%zu ", d.ttl, d.bytes.size());
        for (std::uint8_t b : d.bytes)
            std::printf("%02x", b);
        std::puts("");
        std::fflush(stdout);
    }
    return 0;
}
