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

std::unique_ptr<DecoderSource> DecoderSource::open(const std::string& path, QString* reason)
{
    std::string why;
    std::unique_ptr<media::AudioDecoder> decoder = media::AudioDecoder::open(path, &why);
    if (!decoder) {
        *reason = QString::fromLocal8Bit(why.c_str());
        return nullptr;
    }
    return std::unique_ptr<DecoderSource>(new DecoderSource(std::move(decoder)));
}

DecoderSource::DecoderSource(std::unique_ptr<media::AudioDecoder> decoder)
    : decoder_(std::move(decoder))
{
}

std::int64_t DecoderSource::expectedSamples() const
{
    const double sec = decoder_->declaredSec();
    return sec > 0.0 ? std::llround(sec * decoder_->sampleRate()) : -1;
}

} // namespace bandview
