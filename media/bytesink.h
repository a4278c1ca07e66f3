// Where encoded bytes go: a file written front to back that a container writing its index last
// can seek back in. The programs' outputs (shell::OutputFile) are such files.
#ifndef MEDIA_BYTESINK_H
#define MEDIA_BYTESINK_H

#include <cstddef>
#include <cstdint>

namespace media {

class ByteSink {
public:
    // Buffers data; false once anything failed.
    virtual bool write(const char* data, std::size_t size) = 0;
    // Moves to offset from whence (SEEK_SET, SEEK_CUR, SEEK_END); the new offset, -1 on failure.
    virtual std::int64_t seek(std::int64_t offset, int whence) = 0;
    // The bytes written so far, -1 on failure.
    virtual std::int64_t size() = 0;

protected:
    ~ByteSink() = default;
};

} // namespace media

#endif
