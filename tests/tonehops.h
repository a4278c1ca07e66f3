// Hops for the analysis loop from memory made beforehand, so that fill() allocates nothing: each
// group a tone of its own, so that a group analysed from another's samples shows, cut after count
// samples, so that the last hop is short.
#ifndef TESTS_TONEHOPS_H
#define TESTS_TONEHOPS_H

#include "media/analysisloop.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

class ToneHops : public media::HopSource {
public:
    static constexpr double kFirstToneHz = 330.0;
    static constexpr double kToneStepHz = 1250.0;

    ToneHops(int rateHz, int groups, int count)
        : tones(static_cast<std::size_t>(groups), std::vector<float>(std::size_t(count)))
    {
        for (int g = 0; g < groups; ++g) {
            const double hz = kFirstToneHz + kToneStepHz * g;
            for (int i = 0; i < count; ++i)
                tones[std::size_t(g)][std::size_t(i)]
                    = float(0.25 * std::sin(6.283185307179586 * hz * i / rateHz));
        }
    }
    int fill(float* const* groups, int count) override
    {
        const int n = std::min(count, int(tones[0].size()) - next_);
        for (std::size_t g = 0; g < tones.size(); ++g)
            std::memcpy(groups[g], tones[g].data() + next_, sizeof(float) * std::size_t(n));
        next_ += n;
        return n;
    }

    std::vector<std::vector<float>> tones;

private:
    int next_ = 0;
};

#endif
