// Where bandview's audio comes from: a file or stream decoded by FFmpeg and mixed to mono, or a
// block of samples already in memory (the built-in demo).
#ifndef BANDVIEW_SOURCE_H
#define BANDVIEW_SOURCE_H

#include "media/audiodecoder.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bandview {

using media::kMaxRateHz;
using media::kMinRateHz;

class MonoSource {
public:
    virtual ~MonoSource() = default;
    virtual int sampleRate() const = 0;
    // What the source expects to deliver, -1 when unknown; a decoder's estimate, used only to
    // show progress.
    virtual std::int64_t expectedSamples() const = 0;
    // Reads up to count samples (full scale +-1.0) into out. Returns how many it read, fewer than
    // count only at the end; a read error ends the stream and shows in damage().
    virtual int read(float* out, int count) = 0;
    // What was wrong with a decoded stream; null for a source that cannot be damaged.
    virtual const media::DecodeDamage* damage() const { return nullptr; }
    // A live source's state for the status line; empty for a file.
    virtual std::string statusNote() const { return {}; }
    // What a live source has to say at the end of a run, one line for standard error; empty for
    // a file.
    virtual std::string report() const { return {}; }
    // Whether a live source says on standard error what happens to it while it runs (when no
    // live view shows its status line).
    virtual void reportEvents(bool) { }
};

class MemorySource : public MonoSource {
public:
    MemorySource(std::vector<float> samples, int sampleRate);
    int sampleRate() const override { return rate_; }
    std::int64_t expectedSamples() const override
    {
        return static_cast<std::int64_t>(samples_.size());
    }
    int read(float* out, int count) override;

private:
    std::vector<float> samples_;
    int rate_;
    std::size_t next_ = 0;
};

// A file, standard input ("-"), a pipe or a FIFO decoded by media::AudioDecoder.
class DecoderSource : public MonoSource {
public:
    // path is raw bytes, as the command line gave it. On failure returns null and sets *reason
    // to the decoder's one-line lower-case reason, without the file name.
    static std::unique_ptr<DecoderSource> open(const std::string& path, std::string* reason);

    int sampleRate() const override { return decoder_->sampleRate(); }
    // From the container's declared duration; -1 for a pipe.
    std::int64_t expectedSamples() const override;
    // Never fails: damage, a read error included, ends the stream and shows in damage().
    int read(float* out, int count) override { return decoder_->read(out, count); }
    const media::DecodeDamage* damage() const override { return &decoder_->damage(); }
    int channels() const { return decoder_->channels(); }

private:
    explicit DecoderSource(std::unique_ptr<media::AudioDecoder> decoder);

    std::unique_ptr<media::AudioDecoder> decoder_;
};

} // namespace bandview

#endif
