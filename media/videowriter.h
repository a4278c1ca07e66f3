// Encodes pictures and their audio into a video file with FFmpeg's libraries.
//
// Contract:
// - The container follows the file's extension: .mp4 and .mkv hold H.264 and AAC (256 kb/s),
//   .webm holds VP9 and Opus (192 kb/s). The sound is the source's own channels as they are added,
//   from the first picture's time on: mono stays mono, stereo stays stereo, more channels are
//   mixed down to stereo. It ends with the last picture, or earlier where the audio does.
// - It writes into a ByteSink (the programs give their output file, written beside its final
//   name), which the caller commits after finish(); when a write fails, the sink says why.
// - Encoding runs on a thread of its own, in the order of the calls, while the caller renders the
//   next picture: the same bytes as encoding each call as it comes. A failure there is reported
//   by the next call, or by finish().
// - Output is bit-exact from run to run: single-threaded encoders, FFmpeg's bit-exact flags, no
//   creation time or encoder version in the container.
// - Pictures are RGBA rows, top first; the alpha byte is ignored (the colour is premultiplied over
//   black).
#ifndef MEDIA_VIDEOWRITER_H
#define MEDIA_VIDEOWRITER_H

#include "media/bytesink.h"

#include <QSize>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

namespace media {

// Whether the path names a video (by extension, case-insensitive).
bool isVideoPath(const QString& path);

class VideoWriter {
public:
    ~VideoWriter();
    VideoWriter(const VideoWriter&) = delete;
    VideoWriter& operator=(const VideoWriter&) = delete;

    // Writes into file, which must outlive the writer; path (for its extension and messages)
    // names it. The audio comes as channels interleaved samples at rateHz.
    static std::unique_ptr<VideoWriter> open(ByteSink& file, const QString& path, QSize size,
        int fps, int channels, int rateHz, QString* why);

    // Audio that plays from where the audio added so far ends; the first sample plays with the
    // first picture. Add each picture's audio before the picture, so that both interleave.
    bool addAudio(const float* interleaved, int samples, QString* why);
    bool addPicture(const unsigned char* rgba, QString* why);
    bool finish(QString* why);

    struct State;

private:
    // One call's work for the encoder's thread, its bytes copied.
    struct Job {
        enum class Kind { Audio, Picture, End } kind = Kind::End;
        std::vector<unsigned char> data;
        int samples = 0;
    };
    explicit VideoWriter(std::unique_ptr<State> state);
    bool queue(Job::Kind kind, const void* data, std::size_t bytes, int samples, QString* why);
    void encodeJobs();
    bool convertAudio(const float* interleaved, int samples, QString* why);
    bool encodePicture(const unsigned char* rgba, QString* why);
    bool encodeEnd(QString* why);
    bool encodeAudioUntil(std::int64_t sampleEnd, bool flush, QString* why);
    std::unique_ptr<State> s_;
};

} // namespace media

#endif
