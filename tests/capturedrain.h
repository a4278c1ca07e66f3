// Helpers for the tests of a capture back end: draining its ring as a display would, and waiting
// for its status.
#ifndef TESTS_CAPTUREDRAIN_H
#define TESTS_CAPTUREDRAIN_H

#include "capture/capturesource.h"

#include <chrono>
#include <thread>
#include <vector>

namespace capturedrain {

// Drains the ring for ms milliseconds and returns what came.
inline std::vector<float> collect(capture::CaptureSource& c, int ms)
{
    std::vector<float> all;
    std::vector<float> chunk(static_cast<std::size_t>(c.ring().capacity()));
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const int n = c.ring().read(chunk.data(), static_cast<int>(chunk.size()));
        all.insert(all.end(), chunk.begin(), chunk.begin() + n);
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
