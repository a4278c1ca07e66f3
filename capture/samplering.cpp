#include "samplering.h"

#include <algorithm>
#include <cstring>

namespace capture {

namespace {

    std::uint64_t powerOfTwoAtLeast(int n)
    {
        std::uint64_t size = 1;
        while (size < static_cast<std::uint64_t>(std::max(n, 1)))
            size <<= 1;
        return size;
    }

} // namespace

SampleRing::SampleRing(int minCapacity, int channels)
    : data_(new float[powerOfTwoAtLeast(minCapacity) * static_cast<std::uint64_t>(channels)])
    , mask_(powerOfTwoAtLeast(minCapacity) - 1)
    , channels_(channels)
{
}

int SampleRing::write(const float* frames, int count)
{
    const std::uint64_t head = head_.load(std::memory_order_relaxed);
    const std::uint64_t tail = tail_.load(std::memory_order_acquire);
    const std::uint64_t room = mask_ + 1 - (head - tail);
    const int stored = static_cast<int>(std::min<std::uint64_t>(room, std::max(count, 0)));
    const std::uint64_t at = head & mask_;
    const int first = static_cast<int>(std::min<std::uint64_t>(stored, mask_ + 1 - at));
    const std::size_t frame = sizeof(float) * static_cast<std::size_t>(channels_);
    std::memcpy(data_.get() + at * channels_, frames, frame * first);
    std::memcpy(data_.get(), frames + first * channels_, frame * (stored - first));
    head_.store(head + stored, std::memory_order_release);
    if (stored < count)
        dropped_.fetch_add(count - stored, std::memory_order_relaxed);
    return stored;
}

int SampleRing::available() const
{
    return static_cast<int>(
        head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_relaxed));
}

int SampleRing::read(float* out, int count)
{
    const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
    const std::uint64_t head = head_.load(std::memory_order_acquire);
    const int taken = static_cast<int>(std::min<std::uint64_t>(head - tail, std::max(count, 0)));
    const std::uint64_t at = tail & mask_;
    const int first = static_cast<int>(std::min<std::uint64_t>(taken, mask_ + 1 - at));
    const std::size_t frame = sizeof(float) * static_cast<std::size_t>(channels_);
    std::memcpy(out, data_.get() + at * channels_, frame * first);
    std::memcpy(out + first * channels_, data_.get(), frame * (taken - first));
    tail_.store(tail + taken, std::memory_order_release);
    return taken;
}

int SampleRing::discard(int count)
{
    const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
    const std::uint64_t head = head_.load(std::memory_order_acquire);
    const int taken = static_cast<int>(std::min<std::uint64_t>(head - tail, std::max(count, 0)));
    tail_.store(tail + taken, std::memory_order_release);
    return taken;
}

} // namespace capture
