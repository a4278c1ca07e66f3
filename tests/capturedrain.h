// Helpers for the tests of a capture back end: draining its ring as a display would, and waiting
// for its status.
#ifndef TESTS_CAPTUREDRAIN_H
#define TESTS_CAPTUREDRAIN_H

#include "capture/capturesource.h"

#include <chrono>
#include <thread>
#include <vector>

namespace capturedrain {

// Drains the ring for ms milliseconds and returns what came, one channel (0 left, 1 right) or
// the channels' average (-1).
inline std::vector<float> collect(capture::CaptureSource& c, int ms, int channel = -1)
{
    const int width = c.ring().channels();
    std::vector<float> all;
    std::vector<float> chunk(static_cast<std::size_t>(c.ring().capacity() * width));
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const int n = c.ring().read(chunk.data(), c.ring().capacity());
        for (int i = 0; i < n; ++i) {
            float sum = 0.0f;
            for (int k = 0; k < width; ++k)
                sum += chunk[static_cast<std::size_t>(i * width + k)];
            all.push_back(channel < 0 ? sum / static_cast<float>(width)
                                      : chunk[static_cast<std::size_t>(i * width + channel)]);
        }
    }
    return all;
}

// Polls until the status satisfies done, for up to ms milliseconds, keeping the ring drained.
template <typename Done> bool waitFor(capture::CaptureSource& c, int ms, Done done)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done(c.status())) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        collect(c, 50);
    }
    return true;
}

} // namespace capturedrain

#endif
