#include "led/sender.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace led {

namespace {

    static_assert(sizeof(sockaddr_in) <= 16, "the address slot holds an IPv4 address");
    // How long the end of a run may wait for a lookup to notice it.
    constexpr int kEndCheckMs = 50;

    // The IPv4 address of host; the resolver's message when there is none.
    bool resolve(const std::string& host, std::uint16_t port, sockaddr_in* out, std::string* why)
    {
        addrinfo hints {};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo* found = nullptr;
        const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
        if (rc != 0 || !found) {
            *why = rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
            return false;
        }
        std::memcpy(out, found->ai_addr, sizeof(sockaddr_in));
        ::freeaddrinfo(found);
        out->sin_port = htons(port);
        return true;
    }

    // One lookup on a thread of its own, which the sender may leave behind at its end: a name
    // server that does not answer must hold up neither the packets' thread nor the program's end.
    struct Lookup {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        bool found = false;
        sockaddr_in address {};
        std::string why;
    };

    std::shared_ptr<Lookup> startLookup(const std::string& host, std::uint16_t port)
    {
        auto lookup = std::make_shared<Lookup>();
        try {
            std::thread([lookup, host, port] {
                sockaddr_in address {};
                std::string why;
                const bool found = resolve(host, port, &address, &why);
                std::lock_guard<std::mutex> lock(lookup->mutex);
                lookup->found = found;
                lookup->address = address;
                lookup->why = why;
                lookup->finished = true;
                lookup->done.notify_all();
            }).detach();
        } catch (const std::system_error& e) {
            lookup->finished = true;
            lookup->why = e.what();
        }
        return lookup;
    }

} // namespace

Sender::Sender(const Target& target, Say say)
    : target_(target)
    , say_(std::move(say))
    , thread_([this] { run(); })
{
}

Sender::~Sender()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
    }
    wake_.notify_all();
    thread_.join();
    disconnect();
}

void Sender::offer(const Packet& packet, bool onset)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_ = packet;
        hasPending_ = true;
        onsetSince_ = onsetSince_ || onset;
    }
    wake_.notify_one();
}

long Sender::sentCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
}

bool Sender::waitUntil(std::unique_lock<std::mutex>& lock, Clock::time_point due)
{
    wake_.wait_until(lock, due, [this] { return ending_.load(); });
    return !ending_;
}

void Sender::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    Clock::time_point next = Clock::now();
    while (!ending_) {
        if (fd_ < 0) {
            lock.unlock();
            const bool connected = connect();
            lock.lock();
            if (!connected) {
                hasPending_ = false;
                onsetSince_ = false;
                waitUntil(lock, Clock::now() + std::chrono::milliseconds(kRetryMs));
                continue;
            }
        }
        // The newest packet, once the interval since the last one has passed.
        wake_.wait(lock, [this] { return ending_.load() || hasPending_; });
        if (!waitUntil(lock, next))
            break;
        Packet packet = pending_;
        setPeak(packet, onsetSince_);
        hasPending_ = false;
        onsetSince_ = false;
        lock.unlock();
        const bool sent = send(packet);
        next = Clock::now() + std::chrono::milliseconds(sent ? kMinIntervalMs : kRetryMs);
        lock.lock();
        if (sent)
            ++sent_;
        else
            hasPending_ = false;
    }
}

bool Sender::connect()
{
    const std::shared_ptr<Lookup> lookup = startLookup(target_.host, target_.port);
    std::unique_lock<std::mutex> lock(lookup->mutex);
    while (!lookup->finished) {
        if (ending_)
            return false;
        lookup->done.wait_for(lock, std::chrono::milliseconds(kEndCheckMs));
    }
    if (!lookup->found) {
        complainOnce("cannot resolve " + target_.host + ": " + lookup->why);
        return false;
    }
    const sockaddr_in address = lookup->address;
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        complainOnce(std::string("cannot open a UDP socket: ") + std::strerror(errno));
        return false;
    }
    if (IN_MULTICAST(ntohl(address.sin_addr.s_addr))) {
        const int ttl = target_.ttl;
        ::setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl));
    }
    std::memcpy(address_, &address, sizeof(address));
    return true;
}

void Sender::disconnect()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool Sender::send(const Packet& packet)
{
    sockaddr_in address {};
    std::memcpy(&address, address_, sizeof(address));
    const ssize_t n = ::sendto(fd_, packet.data(), packet.size(), MSG_NOSIGNAL,
        reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    if (n == static_cast<ssize_t>(packet.size())) {
        if (failing_)
            say_("LED output: sending to " + target_.text() + " again");
        failing_ = false;
        return true;
    }
    // A full socket buffer only drops this packet; anything else waits for the network, and the
    // name is resolved anew in case it moved.
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return true;
    complainOnce(std::string("cannot send to ") + target_.text() + ": " + std::strerror(errno));
    disconnect();
    return false;
}

void Sender::complainOnce(const std::string& what)
{
    if (!failing_)
        say_("LED output: " + what + "; going on without LEDs, trying again every "
            + std::to_string(kRetryMs / 1000) + " s");
    failing_ = true;
}

} // namespace led
