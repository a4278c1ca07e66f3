// The audio a program shows: one feed for a file or stream decoded as it is read (never held
// whole), the built-in demo, or live capture (capture::LiveFeed).
//
// Contract: read() hands out the samples in order, each twice over: the mono mix the analysis
// takes (the channels averaged, as AudioDecoder mixes them) and, when asked for, the source's own
// channels at its own rate, interleaved, for playback and a video's sound. A file's feed ends
// (read() gives fewer than asked) when the stream does; a live feed never ends and paces itself,
// one display frame's hop per 1/60 s, and says what happens to its sound server itself (see
// capture/livefeed.h).
// This header needs only the standard library, so that capture can implement it without FFmpeg.
#ifndef MEDIA_FEED_H
#define MEDIA_FEED_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace media {

struct DecodeDamage;

class Feed {
public:
    virtual ~Feed() = default;
    virtual int sampleRate() const = 0;
    // The source's own channels, as read() hands them out.
    virtual int channels() const = 0;
    // What the source expects to deliver, -1 when unknown; a container's declared length, used
    // only to show progress.
    virtual std::int64_t expectedSamples() const { return -1; }
    // Reads up to count samples: the mono mix into mono and, unless channels is null,
    // count * channels() interleaved floats into channels. Returns how many, fewer than count
    // only at the end; a read error ends the stream and shows in damage().
    virtual int read(float* mono, int count, float* channels) = 0;
    // What was wrong with a decoded stream; null for a source that cannot be damaged.
    virtual const DecodeDamage* damage() const { return nullptr; }
};

// Mono samples in memory, at a given rate: the demo, and tests.
class MemoryFeed : public Feed {
public:
    MemoryFeed(std::vector<float> samples, int sampleRate);
    int sampleRate() const override { return rate_; }
    int channels() const override { return 1; }
    std::int64_t expectedSamples() const override
    {
        return static_cast<std::int64_t>(samples_.size());
    }
    int read(float* mono, int count, float* channels) override;

private:
    std::vector<float> samples_;
    int rate_;
    std::size_t next_ = 0;
};

// A file, standard input ("-"), a pipe or a FIFO, decoded as it is read; path empty: the demo.
// path is raw bytes. On failure returns null and sets *error to the decoder's one-line lower-case
// reason, without the file name.
std::unique_ptr<Feed> openFeed(const std::string& path, std::string* error);

} // namespace media

#endif
