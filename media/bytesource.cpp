#include "media/bytesource.h"

#include "media/oggpages.h"
#include "media/openerror.h"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace media {

namespace {

    constexpr int kIoBufferBytes = 64 * 1024;

    std::atomic<bool (*)()> stopCheck { nullptr };

    bool stopping()
    {
        bool (*stop)() = stopCheck.load();
        return stop && stop();
    }

} // namespace

void ByteSource::setStopCheck(bool (*stop)())
{
    stopCheck.store(stop);
}

std::unique_ptr<ByteSource> ByteSource::openPath(const std::string& path, std::string* error)
{
    std::unique_ptr<ByteSource> s(new ByteSource);
    if (path == "-") {
        s->fd_ = STDIN_FILENO;
    } else {
        // Opening a FIFO waits for its writer; a stop signal ends that wait too.
        for (;;) {
            s->fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (s->fd_ >= 0 || errno != EINTR)
                break;
            if (stopping()) {
                *error = "stopped";
                return nullptr;
            }
        }
        if (s->fd_ < 0) {
            *error = systemReason(errno);
            return nullptr;
        }
        s->ownsFd_ = true;
    }
    return s->describeFd(error) ? std::move(s) : nullptr;
}

// Whether the descriptor can be read as a stream, and whether it can be sought in.
bool ByteSource::describeFd(std::string* error)
{
    struct stat st { };
    if (::fstat(fd_, &st) != 0) {
        *error = systemReason(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        *error = systemReason(EISDIR);
        return false;
    }
    // A regular file of known size can be sought in, which containers with their index at the
    // end (MP4) need; a file that reports no size (/proc and the like), a pipe, a FIFO or a
    // terminal is read front to back.
    if (S_ISREG(st.st_mode) && st.st_size > 0) {
        const off_t at = ::lseek(fd_, 0, SEEK_CUR);
        if (at >= 0 && at <= st.st_size) {
            seekable_ = true;
            fdStart_ = at;
            size_ = st.st_size - at;
        }
    }
    return true;
}

std::unique_ptr<ByteSource> ByteSource::openMemory(
    const std::uint8_t* data, std::size_t size, bool seekable)
{
    std::unique_ptr<ByteSource> s(new ByteSource);
    // A null pointer would read as the descriptor source; an empty block is never dereferenced.
    static const std::uint8_t kNothing = 0;
    s->memory_ = data ? data : &kNothing;
    s->size_ = data ? static_cast<std::int64_t>(size) : 0;
    s->seekable_ = seekable;
    return s;
}

ByteSource::~ByteSource()
{
    if (io_) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    if (ownsFd_ && fd_ >= 0)
        ::close(fd_);
}

AVIOContext* ByteSource::makeIo()
{
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBufferBytes));
    if (!buffer)
        return nullptr;
    io_ = avio_alloc_context(
        buffer, kIoBufferBytes, 0, this, &readBytes, nullptr, seekable_ ? &seekBytes : nullptr);
    if (!io_)
        av_free(buffer);
    return io_;
}

int ByteSource::readBytes(void* opaque, std::uint8_t* buffer, int size)
{
    ByteSource& s = *static_cast<ByteSource*>(opaque);
    return s.memory_ ? s.readMemory(buffer, size) : s.readDescriptor(buffer, size);
}

int ByteSource::readMemory(std::uint8_t* buffer, int size)
{
    const std::size_t n
        = std::min(static_cast<std::size_t>(size), static_cast<std::size_t>(size_) - memoryPos_);
    if (n == 0)
        return AVERROR_EOF;
    std::memcpy(buffer, memory_ + memoryPos_, n);
    keepTail(buffer, n);
    memoryPos_ += n;
    bytesRead_ += static_cast<std::int64_t>(n);
    return static_cast<int>(n);
}

int ByteSource::readDescriptor(std::uint8_t* buffer, int size)
{
    if (headReplayed_ < headKept_) {
        const int n = std::min(size, headKept_ - headReplayed_);
        std::memcpy(buffer, head_ + headReplayed_, static_cast<std::size_t>(n));
        keepTail(buffer, static_cast<std::size_t>(n));
        headReplayed_ += n;
        bytesRead_ += n;
        return n;
    }
    if (stopped_)
        return AVERROR_EXIT;
    const ssize_t n = readFd(buffer, size);
    if (n > 0) {
        bytesRead_ += n;
        keepTail(buffer, static_cast<std::size_t>(n));
        return static_cast<int>(n);
    }
    if (n == 0)
        return AVERROR_EOF;
    return stopped_ ? AVERROR_EXIT : AVERROR(readErrno_);
}

// One read() of the descriptor: the bytes, 0 at the end, or -1 with stopped_ or readErrno_ set.
ssize_t ByteSource::readFd(std::uint8_t* buffer, int size)
{
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, static_cast<std::size_t>(size));
        if (n >= 0)
            return n;
        if (errno == EINTR) {
            if (stopping()) {
                stopped_ = true;
                return -1;
            }
            continue;
        }
        if (readErrno_ == 0)
            readErrno_ = errno;
        return -1;
    }
}

void ByteSource::setKeepsTail(bool keep)
{
    keepsTail_ = keep;
    if (!keep)
        std::vector<std::uint8_t>().swap(tail_);
}

void ByteSource::keepTail(const std::uint8_t* bytes, std::size_t n)
{
    if (!keepsTail_ || seekable_)
        return;
    if (n >= kOggTailBytes) {
        tail_.assign(bytes + n - kOggTailBytes, bytes + n);
        return;
    }
    const std::size_t keep = std::min(tail_.size(), kOggTailBytes - n);
    tail_.erase(tail_.begin(), tail_.end() - static_cast<std::ptrdiff_t>(keep));
    tail_.insert(tail_.end(), bytes, bytes + n);
}

// A pipe can be read only once: what is read ahead of it is kept and handed to the demuxer first.
void ByteSource::readHeadAhead()
{
    if (memory_) {
        headSize_ = static_cast<int>(std::min<std::int64_t>(size_, kHeadBytes));
        std::memcpy(head_, memory_, static_cast<std::size_t>(headSize_));
        return;
    }
    if (seekable_) {
        const ssize_t n = ::pread(fd_, head_, kHeadBytes, static_cast<off_t>(fdStart_));
        headSize_ = n > 0 ? static_cast<int>(n) : 0;
        return;
    }
    while (headSize_ < kHeadBytes) {
        const ssize_t n = readFd(head_ + headSize_, kHeadBytes - headSize_);
        if (n <= 0)
            break;
        headSize_ += static_cast<int>(n);
    }
    headKept_ = headSize_;
}

std::int64_t ByteSource::seekBytes(void* opaque, std::int64_t offset, int whence)
{
    ByteSource& s = *static_cast<ByteSource*>(opaque);
    if (whence & AVSEEK_SIZE)
        return s.size_;
    whence &= ~AVSEEK_FORCE;
    std::int64_t current = static_cast<std::int64_t>(s.memoryPos_);
    if (!s.memory_) {
        const off_t at = ::lseek(s.fd_, 0, SEEK_CUR);
        if (at < 0)
            return AVERROR(errno);
        current = at - s.fdStart_;
    }
    // Offsets come from the stream's own headers and may be anything: every target stays
    // within the bytes there are, computed without overflow.
    std::int64_t base = 0;
    if (whence == SEEK_CUR)
        base = current;
    else if (whence == SEEK_END)
        base = s.size_;
    else if (whence != SEEK_SET)
        return AVERROR(EINVAL);
    if (offset < -base || offset > s.size_ - base)
        return AVERROR(EINVAL);
    const std::int64_t target = base + offset;
    if (s.memory_) {
        s.memoryPos_ = static_cast<std::size_t>(target);
        return target;
    }
    const off_t at = ::lseek(s.fd_, static_cast<off_t>(s.fdStart_ + target), SEEK_SET);
    return at < 0 ? AVERROR(errno) : at - s.fdStart_;
}

bool ByteSource::bytesAt(std::int64_t from, std::size_t n, std::uint8_t* out) const
{
    const auto count = static_cast<std::int64_t>(n);
    if (from < 0)
        return false;
    if (memory_) {
        if (from + count > size_)
            return false;
        std::memcpy(out, memory_ + from, n);
        return true;
    }
    if (seekable_)
        return ::pread(fd_, out, n, static_cast<off_t>(fdStart_ + from)) == static_cast<ssize_t>(n);
    const std::int64_t kept = bytesRead_ - static_cast<std::int64_t>(tail_.size());
    if (from < kept || from + count > bytesRead_)
        return false;
    std::memcpy(out, tail_.data() + (from - kept), n);
    return true;
}

bool ByteSource::lastBytes(std::size_t most, std::vector<std::uint8_t>* out) const
{
    const std::size_t n
        = static_cast<std::size_t>(std::min<std::int64_t>(size_, static_cast<std::int64_t>(most)));
    out->resize(n);
    return bytesAt(size_ - static_cast<std::int64_t>(n), n, out->data());
}

} // namespace media
