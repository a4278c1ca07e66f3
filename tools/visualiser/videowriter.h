// Encodes pictures and their audio into a video file with FFmpeg's libraries.
//
// Contract:
// - The container follows the file's extension: .mp4 and .mkv hold H.264 and AAC, .webm holds VP9
//   and Opus. The audio is the mono programme between the first and the last picture's time.
// - It writes into a shell::OutputFile (written beside its final name), which the caller commits
//   after finish(); when a write fails, the file's error() holds the system's reason.
// - Output is bit-exact from run to run: single-threaded encoders, FFmpeg's bit-exact flags, no
//   creation time or encoder version in the container.
// - Pictures are RGBA rows, top first; the alpha byte is ignored (the colour is premultiplied over
//   black).
#ifndef VISUALISER_VIDEOWRITER_H
#define VISUALISER_VIDEOWRITER_H

#include <QSize>
#include <QString>

#include <cstdint>
#include <memory>

namespace shell {
class OutputFile;
}

namespace visualiser {

// Whether the path names a video (by extension, case-insensitive).
bool isVideoPath(const QString& path);

class VideoWriter {
public:
    ~VideoWriter();
    VideoWriter(const VideoWriter&) = delete;
    VideoWriter& operator=(const VideoWriter&) = delete;

    // Writes into file, which must outlive the writer; path (for its extension and messages)
    // names it. audio holds audioCount mono samples at rateHz, starting at the first picture's
    // time.
    static std::unique_ptr<VideoWriter> open(shell::OutputFile& file, const QString& path,
        QSize size, int fps, const float* audio, std::int64_t audioCount, int rateHz, QString* why);

    bool addPicture(const unsigned char* rgba, QString* why);
    bool finish(QString* why);

    struct State;

private:
    explicit VideoWriter(std::unique_ptr<State> state);
    bool encodeAudioUntil(std::int64_t sampleEnd, bool flush, QString* why);
    std::unique_ptr<State> s_;
};

} // namespace visualiser

#endif
