// Where bandview's audio comes from: a sound file decoded by libsndfile and mixed to mono, or a
// block of samples already in memory (the built-in demo).
#ifndef BANDVIEW_SOURCE_H
#define BANDVIEW_SOURCE_H

#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

struct sf_private_tag;

namespace bandview {

constexpr int kMinRateHz = 8000;
constexpr int kMaxRateHz = 192000;

class MonoSource {
public:
    virtual ~MonoSource() = default;
    virtual int sampleRate() const = 0;
    // What the source expects to deliver, -1 when unknown; a decoder's estimate, used only to
    // show progress.
    virtual std::int64_t expectedSamples() const = 0;
    // Reads up to count samples (full scale +-1.0) into out. Returns how many it read, fewer than
    // count only at the end, or -1 on a read error (see error()).
    virtual int read(float* out, int count) = 0;
    virtual QString error() const { return {}; }
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

class SoundFileSource : public MonoSource {
public:
    // Opens path for decoding. On failure returns null and sets *reason to a short lower-case
    // phrase ("no such file", "cannot decode: ..."), without the file name.
    static std::unique_ptr<SoundFileSource> open(const QString& path, QString* reason);
    ~SoundFileSource() override;
    SoundFileSource(const SoundFileSource&) = delete;
    SoundFileSource& operator=(const SoundFileSource&) = delete;

    int sampleRate() const override { return rate_; }
    std::int64_t expectedSamples() const override { return frames_; }
    int channels() const { return channels_; }
    // Averages the channels of each frame. Integer encodings arrive scaled to +-1.0 (libsndfile's
    // default); float files pass through as they are.
    int read(float* out, int count) override;
    QString error() const override { return error_; }

private:
    SoundFileSource(sf_private_tag* file, int rate, int channels, std::int64_t frames);

    sf_private_tag* file_;
    int rate_;
    int channels_;
    std::int64_t frames_;
    std::vector<float> interleaved_;
    QString error_;
};

} // namespace bandview

#endif
