#include "media/feed.h"

#include "media/audiodecoder.h"
#include "media/demo.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace media {

namespace {

    class DecoderFeed : public Feed {
    public:
        explicit DecoderFeed(std::unique_ptr<AudioDecoder> decoder)
            : decoder_(std::move(decoder))
        {
        }
        int sampleRate() const override { return decoder_->sampleRate(); }
        int channels() const override { return decoder_->channels(); }
        std::int64_t expectedSamples() const override
        {
            // A damaged header may declare any length; one past what 64 bits count is as good
            // as none.
            const double samples = decoder_->declaredSec() * decoder_->sampleRate();
            return samples > 0.0 && samples < 0x1p62 ? std::llround(samples) : -1;
        }
        int read(float* mono, int count, float* channels) override
        {
            return decoder_->read(mono, count, channels);
        }
        const DecodeDamage* damage() const override { return &decoder_->damage(); }

    private:
        std::unique_ptr<AudioDecoder> decoder_;
    };

} // namespace

MemoryFeed::MemoryFeed(std::vector<float> samples, int sampleRate)
    : samples_(std::move(samples))
    , rate_(sampleRate)
{
}

int MemoryFeed::read(float* mono, int count, float* channels)
{
    const std::size_t n
        = std::min(samples_.size() - next_, static_cast<std::size_t>(std::max(count, 0)));
    std::memcpy(mono, samples_.data() + next_, n * sizeof(float));
    if (channels)
        std::memcpy(channels, samples_.data() + next_, n * sizeof(float));
    next_ += n;
    return static_cast<int>(n);
}

std::unique_ptr<Feed> openFeed(const std::string& path, std::string* error)
{
    if (path.empty())
        return std::make_unique<MemoryFeed>(renderDemo(), kDemoRateHz);
    std::unique_ptr<AudioDecoder> decoder = AudioDecoder::open(path, error);
    if (!decoder)
        return nullptr;
    return std::make_unique<DecoderFeed>(std::move(decoder));
}

} // namespace media
