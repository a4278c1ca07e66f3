// The files a run writes, all or nothing, in both programs.
//
// "-" is standard output. A name for a descriptor this process holds open (/dev/stdout,
// /dev/stderr, /dev/fd/N, /proc/self/fd/N) is that descriptor, written into where it stands, so
// that `--csv /dev/stdout >> log` appends as `--csv - >> log` does. A path that exists and is not
// a regular file (a character device, a FIFO, a socket) is opened and written into as it is, never
// replaced. A pipe whose reader went away ends that output (readerGone()); a FIFO named by its path
// waits for its next reader instead, who gets the header first, and the record that the last
// reader left half read is not finished. Any other path (a symbolic link's target, for a link) is
// written to a temporary file beside it, in the same folder, which takes the final name only on
// commit, after every byte was written and synced; a file it replaces keeps its mode, and its owner
// where the process may set it. Discarding (or destroying) an uncommitted output removes its
// temporary. What already went into a pipe or a device cannot be taken back.
//
// A temporary is named after its final name, the writer's process id and host
// (".out.csv.1234@host.Ab3dEf"), so that a writer killed outright (SIGKILL, a power cut) leaves
// nothing for ever: the next output opened in that folder on that host removes the temporaries
// whose writer is gone, never those of a process still running.
//
// Every error is one lower-case line from the system ("no space left on device"), without the
// path; the caller names the file. Paths are raw bytes, as the system takes them.
#ifndef SHELL_OUTPUT_H
#define SHELL_OUTPUT_H

#include "media/bytesink.h"

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace shell {

// The system's reason for errno value error, as the tail of a one-line message.
std::string systemReason(int error);

// The folder that holds path, as written: "." for a bare name, "/" for a name at the root.
std::string folderOf(const std::string& path);

// What names one file on the system: the device and inode of an existing file (through links),
// else the folder's device and inode and the name in it (a link to a file not there yet counts as
// that file).
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    std::string name;
    // A character device named by its path (/dev/null): each output opens it afresh, so two may
    // share it. A descriptor's device (standard output on a terminal) is one open file.
    bool sharable = false;
    bool operator==(const FileIdentity& other) const;
};

// The descriptor an output name stands for: 1 for "-" and /dev/stdout, 2 for /dev/stderr, N for
// /dev/fd/N and /proc/self/fd/N (and /proc/PID/fd/N with this process's PID); -1 for any other
// name, or when that descriptor is not open.
int namedDescriptor(const std::string& path);

// The identity of path, "-" being standard output when output is set and standard input
// otherwise; for an output, a descriptor's name is what that descriptor has open. False, with
// *error set, when neither the file nor its folder can be found.
bool identify(const std::string& path, bool output, FileIdentity* id, std::string* error);

// A sink for encoded bytes too, which a video's container seeks back in.
class OutputFile final : public media::ByteSink {
public:
    // Opens path for writing. Fails, with *error set, for a folder, a folder that does not exist
    // ("no such file or directory") or one that cannot be written: the error is then the
    // folder's ("read-only file system"), and the caller names path.
    static std::unique_ptr<OutputFile> open(const std::string& path, std::string* error);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::string& path() const { return path_; }
    // True for standard output, a pipe or a device: written as the run goes, nothing to commit.
    bool streams() const { return temp_.empty(); }

    // Buffers data; false once anything failed (see error()).
    bool write(const char* data, std::size_t size) override;
    // Hands everything buffered to the system.
    bool flush();
    // Buffers data as the output's header: a FIFO's next reader gets it again first.
    bool writeHeader(const char* data, std::size_t size);
    // For a FIFO named by its path: while none reads it, drop what is written (each flush looks
    // for a new reader, without waiting) instead of waiting for the next reader, so that a run
    // paced by the music never falls behind it.
    void setDropsWhileUnread(bool drop) { dropsWhileUnread_ = drop; }
    // True once a write failed because the reader of a pipe (not a FIFO named by its path) closed
    // it: the output has ended, as the reader wished, rather than failed.
    bool readerGone() const { return readerGone_; }
    // Flushes, then moves to offset from whence (SEEK_SET, SEEK_CUR, SEEK_END) for a container
    // that writes its index last; returns the new offset, -1 when that failed.
    std::int64_t seek(std::int64_t offset, int whence) override;
    // Flushes; the bytes written so far, -1 when that failed.
    std::int64_t size() override;
    // Flushes and syncs a temporary to the disk and closes it: after this only commit() is
    // left. Finishing again changes nothing.
    bool finish();
    // Gives the temporary its final name.
    bool commit();
    // Removes the temporary, if any.
    void discard();
    const std::string& error() const { return error_; }

private:
    OutputFile(std::string path, std::string temp, int fd, bool ownsFd, std::string target = {});
    bool fail(int error);
    // Writes the buffer out; 0, else the errno value.
    int writeBuffer();
    // Opens the FIFO again for a new reader; false while there is none (or the open failed).
    bool awaitReader();
    // commit() without the sync of the folder.
    bool rename();
    friend int commitAll(const std::vector<OutputFile*>& outputs);

    std::string path_;
    // Where the temporary goes: path_ with its links followed.
    std::string target_;
    std::string temp_;
    int fd_;
    bool ownsFd_;
    int slot_ = -1;
    std::vector<char> buffer_;
    std::string error_;
    // A FIFO named by its path, which a new reader may open again.
    std::string fifo_;
    std::vector<char> header_;
    bool dropsWhileUnread_ = false;
    bool readerGone_ = false;
};

// Finishes every output, then commits them all (syncing each folder once); when any step fails,
// discards every one not yet committed and returns the index of the one that failed, else -1.
int commitAll(const std::vector<OutputFile*>& outputs);

// Removes every temporary still open; safe in a signal handler.
void removeTemporariesFromSignal();

} // namespace shell

#endif
