// Sends audio-sync packets over UDP to one host, on a thread of its own, so that the thread that
// makes the frames never waits for the network.
//
// - offer() (the frame thread) only hands over the newest packet under a lock held for a copy;
//   the onsets offered since the last packet sent are carried by the next one (samplePeak), so
//   that none is lost between packets.
// - The sending thread resolves the host (IPv4, as the boards speak it; each lookup on a thread
//   of its own that the end of a run does not wait for), sends the newest packet at most once
//   per kMinIntervalMs (timed from the end of one send to the start of the next), and sets the
//   multicast time-to-live to target.ttl for a multicast group.
// - A name that does not resolve or a network that cannot be reached is said once, in one line,
//   through the say callback (on the sending thread); the packets offered meanwhile are dropped,
//   and every kRetryMs the name is resolved and the send tried again. The first packet that goes
//   out after that says so in one line.
// - It sends to the resolved address of target.host alone, and to nothing else.
#ifndef LED_SENDER_H
#define LED_SENDER_H

#include "led/audiosync.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace led {

constexpr int kMinIntervalMs = 20;
constexpr int kRetryMs = 1000;
constexpr const char* kDefaultGroup = "239.0.0.1";
constexpr std::uint16_t kDefaultPort = 11988;
constexpr int kDefaultTtl = 1;

struct Target {
    std::string host = kDefaultGroup;
    std::uint16_t port = kDefaultPort;
    int ttl = kDefaultTtl;

    // "host:port" as a person would write it.
    std::string text() const { return host + ":" + std::to_string(port); }
};

class Sender {
public:
    using Say = std::function<void(const std::string&)>;

    Sender(const Target& target, Say say);
    ~Sender();
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // Never blocks on the network; samplePeak of packet is replaced by the onsets gathered.
    void offer(const Packet& packet, bool onset);
    // Packets that went out so far.
    long sentCount() const;

private:
    using Clock = std::chrono::steady_clock;

    void run();
    // Resolves the host and opens the socket; false (said once) when either fails.
    bool connect();
    void disconnect();
    // Sends packet; false (said once) when it cannot.
    bool send(const Packet& packet);
    void complainOnce(const std::string& what);
    // Waits until due or the end; false at the end.
    bool waitUntil(std::unique_lock<std::mutex>& lock, Clock::time_point due);

    const Target target_;
    const Say say_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    Packet pending_ {};
    bool hasPending_ = false;
    bool onsetSince_ = false;
    // Also read, without the lock, while a lookup is waited for.
    std::atomic<bool> ending_ { false };
    long sent_ = 0;

    // The sending thread's own.
    int fd_ = -1;
    std::uint8_t address_[16] {}; // a sockaddr_in
    bool failing_ = false;
    std::thread thread_;
};

} // namespace led

#endif
