// A single-producer, single-consumer ring of sample frames between an audio thread and the display.
//
// Contract: one thread writes (write), one other thread reads (available, read, discard); both may
// read the counters. A frame is one sample of each of channels() channels, interleaved; every count
// is in frames. The storage is allocated once, in the constructor; write and read never allocate,
// lock or block. When the ring is full the frames that do not fit are dropped and counted, so a
// stalled reader costs audio, never memory or the writer's time.
#ifndef CAPTURE_SAMPLERING_H
#define CAPTURE_SAMPLERING_H

#include <atomic>
#include <cstdint>
#include <memory>

namespace capture {

class SampleRing {
public:
    // Holds at least minCapacity frames (rounded up to a power of two, so that indices wrap with
    // a mask) of channels samples each.
    explicit SampleRing(int minCapacity, int channels = 1);
    SampleRing(const SampleRing&) = delete;
    SampleRing& operator=(const SampleRing&) = delete;

    int capacity() const { return static_cast<int>(mask_ + 1); }
    int channels() const { return channels_; }

    // Producer: appends up to count frames; the rest are dropped. Returns how many were stored.
    int write(const float* frames, int count);

    // Consumer: frames ready to read.
    int available() const;
    // Consumer: takes up to count frames into out; returns how many it took.
    int read(float* out, int count);
    // Consumer: drops up to count of the oldest frames unread; returns how many it dropped.
    int discard(int count);

    // Frames written and dropped since construction; monotonic, from any thread.
    std::uint64_t written() const { return head_.load(std::memory_order_acquire); }
    std::uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

private:
    std::unique_ptr<float[]> data_;
    std::uint64_t mask_;
    int channels_;
    // Free-running counts of frames written and read; their difference is the fill. Each sits on
    // its own cache line so that the two threads do not fight over one.
    alignas(64) std::atomic<std::uint64_t> head_ { 0 };
    alignas(64) std::atomic<std::uint64_t> tail_ { 0 };
    alignas(64) std::atomic<std::uint64_t> dropped_ { 0 };
};

} // namespace capture

#endif
