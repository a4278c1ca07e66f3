#include "source.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace bandview {

MemorySource::MemorySource(std::vector<float> samples, int sampleRate)
    : samples_(std::move(samples))
    , rate_(sampleRate)
{
}

int MemorySource::read(float* out, int count)
{
    const std::size_t n
        = std::min(samples_.size() - next_, static_cast<std::size_t>(std::max(count, 0)));
    std::memcpy(out, samples_.data() + next_, n * sizeof(float));
    next_ += n;
    return static_cast<int>(n);
}

std::unique_ptr<DecoderSource> DecoderSource::open(const std::string& path, std::string* reason)
{
    std::unique_ptr<media::AudioDecoder> decoder = media::AudioDecoder::open(path, reason);
    if (!decoder)
        return nullptr;
    return std::unique_ptr<DecoderSource>(new DecoderSource(std::move(decoder)));
}

DecoderSource::DecoderSource(std::unique_ptr<media::AudioDecoder> decoder)
    : decoder_(std::move(decoder))
{
}

std::int64_t DecoderSource::expectedSamples() const
{
    // A damaged header may declare any length; one past what 64 bits count is as good as none.
    const double samples = decoder_->declaredSec() * decoder_->sampleRate();
    return samples > 0.0 && samples < 0x1p62 ? std::llround(samples) : -1;
}

} // namespace bandview
