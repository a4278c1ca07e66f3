// Decodes any audio file FFmpeg's libraries read (MP3, AAC/M4A, ALAC, FLAC, Ogg Vorbis, Opus,
// WAV/AIFF/W64/CAF, WMA, the audio track of a video file) into mono samples, from a path, standard
// input ("-"), a pipe or a FIFO. Damage is absorbed and accounted for: packets the demuxer or the
// decoder rejects are skipped and decoding resynchronises, non-finite samples become silence, a
// stream that ends short of its declared duration is noted, and a read error after the stream
// opened is recorded rather than taken for a normal end. Nothing is ever printed: FFmpeg's own
// log is silenced, and what went wrong reaches the caller through open()'s reason and damage().
// The first open() sets two process-wide FFmpeg settings: its log level (quiet) and its largest
// single allocation (64 MiB, so that a damaged header cannot take gigabytes).
// Paths are raw bytes, so names that are not UTF-8 work.
#ifndef MEDIA_AUDIODECODER_H
#define MEDIA_AUDIODECODER_H

#include "media/decodedamage.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace media {

constexpr int kMinRateHz = 8000;
constexpr int kMaxRateHz = 192000;

class AudioDecoder {
public:
    // Opens a file, "-" (standard input), a pipe or a FIFO. On failure returns null and sets
    // *error to a one-line lower-case reason without the file name ("no such file or directory",
    // "not an audio file", "has no audio stream" (a video without sound), "sample rate 4000 Hz
    // is outside 8000..192000 Hz", "file is empty").
    static std::unique_ptr<AudioDecoder> open(const std::string& path, std::string* error);
    // The same over bytes in memory, which must outlive the decoder (the fuzz target uses it);
    // not seekable, they are read front to back, as from a pipe.
    static std::unique_ptr<AudioDecoder> openBuffer(
        const std::uint8_t* data, std::size_t size, std::string* error, bool seekable = true);
    // For a program that stops on a signal: when a signal interrupts a read and stop() then
    // says true, the stream ends there (no damage, no read error) instead of waiting on for
    // bytes from a pipe or FIFO that may never come. Process-wide; null (the default) always
    // waits on. Set it before opening; stop() must be safe to call from any thread.
    static void setStopCheck(bool (*stop)());
    ~AudioDecoder();
    AudioDecoder(const AudioDecoder&) = delete;
    AudioDecoder& operator=(const AudioDecoder&) = delete;

    int sampleRate() const;
    int channels() const;
    double declaredSec() const; // -1 when unknown (pipes)
    std::string title() const; // the file's title tag, empty when none
    // Reads up to count mono samples (the channels averaged, full scale +-1.0, always finite).
    // Returns how many it read; 0 only at the end of the stream (clean or not: see damage()).
    // After open() it allocates nothing per call beyond FFmpeg's own packet/frame reuse.
    int read(float* out, int count);
    // The same, and the stream's own channels of those samples (full scale, finite) into
    // channels, interleaved: count * channels() floats.
    int read(float* out, int count, float* channels);
    const DecodeDamage& damage() const;

    struct State;

private:
    explicit AudioDecoder(std::unique_ptr<State> state);
    // The decoder over a state that started; null for none.
    static std::unique_ptr<AudioDecoder> opened(std::unique_ptr<State> state);
    std::unique_ptr<State> s_;
};

} // namespace media

#endif
