// Where a decoder's bytes come from: a file, standard input, a pipe or FIFO, or a block of
// memory, handed to FFmpeg through its I/O callbacks. A stream read front to back cannot go back:
// its first bytes are read ahead for a look at the header and handed to the demuxer first, and,
// when asked, its last bytes are kept, for a look at how it ends.
#ifndef MEDIA_BYTESOURCE_H
#define MEDIA_BYTESOURCE_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct AVIOContext;

namespace media {

class ByteSource {
public:
    // The start of the stream kept for a look at its header: a WAV's chunks before its data.
    static constexpr int kHeadBytes = 4096;

    // Opens a file, "-" (standard input), a pipe or a FIFO; a regular file of known size is
    // read from where its descriptor stands and can be sought in. On failure returns null and
    // sets *error to a lower-case reason ("no such file or directory", "stopped").
    static std::unique_ptr<ByteSource> openPath(const std::string& path, std::string* error);
    // Bytes in memory, which must outlive the source; unless seekable, read front to back.
    static std::unique_ptr<ByteSource> openMemory(
        const std::uint8_t* data, std::size_t size, bool seekable);
    // See AudioDecoder::setStopCheck.
    static void setStopCheck(bool (*stop)());
    ~ByteSource();
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;

    // Reads the stream's first bytes into head(), before FFmpeg reads any.
    void readHeadAhead();
    const std::uint8_t* head() const { return head_; }
    int headSize() const { return headSize_; }
    // Whether a stream read front to back keeps its last kOggTailBytes; false lets go of them.
    void setKeepsTail(bool keep);
    // FFmpeg's reader over this source, which the source keeps and frees; null when out of memory.
    AVIOContext* makeIo();
    AVIOContext* io() const { return io_; }

    // Copies n bytes of the stream from offset from: from a file or memory, or from what was
    // kept of a stream read front to back. False when they are not there.
    bool bytesAt(std::int64_t from, std::size_t n, std::uint8_t* out) const;
    // The stream's last bytes, up to most of them, of a source that can be sought in; false when
    // they cannot be read.
    bool lastBytes(std::size_t most, std::vector<std::uint8_t>* out) const;
    // What was kept of the end of a stream read front to back.
    const std::vector<std::uint8_t>& tail() const { return tail_; }

    bool seekable() const { return seekable_; }
    std::int64_t bytesRead() const { return bytesRead_; }
    int readErrno() const { return readErrno_; } // the first read() that failed, 0 when none
    bool stopped() const { return stopped_; } // a signal interrupted a read, and the program stops

private:
    ByteSource() = default;
    static int readBytes(void* opaque, std::uint8_t* buffer, int size);
    static std::int64_t seekBytes(void* opaque, std::int64_t offset, int whence);
    int readMemory(std::uint8_t* buffer, int size);
    int readDescriptor(std::uint8_t* buffer, int size);
    ssize_t readFd(std::uint8_t* buffer, int size);
    void keepTail(const std::uint8_t* bytes, std::size_t n);
    bool describeFd(std::string* error);

    int fd_ = -1;
    bool ownsFd_ = false;
    std::int64_t fdStart_ = 0; // the descriptor's offset at open, for standard input
    const std::uint8_t* memory_ = nullptr;
    std::size_t memoryPos_ = 0;
    bool seekable_ = false;
    std::int64_t size_ = -1; // bytes, -1 when unknown
    std::int64_t bytesRead_ = 0;
    int readErrno_ = 0;
    bool stopped_ = false;
    std::uint8_t head_[kHeadBytes] = {};
    int headSize_ = 0;
    int headKept_ = 0; // of a pipe's first bytes, read ahead, those still for the demuxer
    int headReplayed_ = 0;
    bool keepsTail_ = false;
    std::vector<std::uint8_t> tail_;
    AVIOContext* io_ = nullptr;
};

} // namespace media

#endif
