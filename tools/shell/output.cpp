#include "shell/output.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace shell {

namespace {

    constexpr std::size_t kBufferBytes = 64 * 1024;
    constexpr int kMaxTemporaries = 256;
    constexpr mode_t kNewFileMode = 0666;

    // The temporaries a signal handler removes; a slot holds a path owned by its OutputFile.
    std::atomic<const char*> temporaries[kMaxTemporaries];

    int claimSlot(const char* path)
    {
        for (int i = 0; i < kMaxTemporaries; ++i) {
            const char* expected = nullptr;
            if (temporaries[i].compare_exchange_strong(expected, path))
                return i;
        }
        return -1;
    }

    void releaseSlot(int& slot)
    {
        if (slot >= 0)
            temporaries[slot].store(nullptr);
        slot = -1;
    }

    mode_t currentUmask()
    {
        // Read once, while the program has a single thread: umask() can only be read by setting it.
        static const mode_t mask = [] {
            const mode_t m = ::umask(0);
            ::umask(m);
            return m;
        }();
        return mask;
    }

    void splitPath(const std::string& path, std::string* folder, std::string* name)
    {
        *folder = folderOf(path);
        *name = path.substr(path.rfind('/') + 1);
    }

    constexpr int kMaxLinks = 40;

    // path with its symbolic links followed, also to a file that does not exist yet, so that an
    // output named through a link is written where the link points.
    std::string followLinks(std::string path)
    {
        for (int i = 0; i < kMaxLinks; ++i) {
            struct stat st { };
            if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
                return path;
            std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096), '\0');
            const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
            if (n <= 0)
                return path;
            target.resize(static_cast<std::size_t>(n));
            if (target[0] != '/') {
                const std::size_t slash = path.rfind('/');
                if (slash != std::string::npos)
                    target = path.substr(0, slash + 1) + target;
            }
            path = target;
        }
        return path;
    }

    // The new names in a folder last only once the folder is on the disk too. Returns 0, else
    // the errno value.
    int syncFolder(const std::string& folder)
    {
        const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0)
            return 0;
        const bool synced = ::fsync(dir) == 0 || errno == EINVAL;
        const int why = errno;
        ::close(dir);
        return synced ? 0 : why;
    }

    // The digits of a whole non-negative number, else -1.
    long wholeNumber(const std::string& text)
    {
        if (text.empty() || text.size() > 9)
            return -1;
        long n = 0;
        for (char c : text) {
            if (c < '0' || c > '9')
                return -1;
            n = n * 10 + (c - '0');
        }
        return n;
    }

    const std::string& hostName()
    {
        static const std::string name = [] {
            char text[256] = {};
            if (::gethostname(text, sizeof(text) - 1) != 0 || text[0] == '\0')
                return std::string("localhost");
            std::string s = text;
            for (char& c : s) {
                if (c == '/')
                    c = '_';
            }
            return s;
        }();
        return name;
    }

    // The writer's process id in the name of one of our temporaries made on this host
    // (".out.csv.1234@host.Ab3dEf"), else -1.
    long temporaryWriter(const std::string& entry)
    {
        const std::string tail = "@" + hostName();
        constexpr std::size_t kRandomChars = 6;
        if (entry.size() < 2 + tail.size() + kRandomChars + 2 || entry[0] != '.')
            return -1;
        const std::size_t dot = entry.size() - kRandomChars - 1;
        if (entry[dot] != '.' || entry.compare(dot - tail.size(), tail.size(), tail) != 0)
            return -1;
        const std::size_t end = dot - tail.size();
        const std::size_t start = entry.rfind('.', end - 1);
        if (start == std::string::npos || start == 0)
            return -1;
        return wholeNumber(entry.substr(start + 1, end - start - 1));
    }

    // Removes the temporaries in folder whose writer on this host is gone (killed outright, so
    // that it could not remove them); once per folder and process.
    void removeOrphans(const std::string& folder)
    {
        static std::mutex mutex;
        static std::set<std::string> done;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!done.insert(folder).second)
                return;
        }
        DIR* dir = ::opendir(folder.c_str());
        if (!dir)
            return;
        const long self = static_cast<long>(::getpid());
        while (const dirent* e = ::readdir(dir)) {
            const long pid = temporaryWriter(e->d_name);
            if (pid <= 0 || pid == self)
                continue;
            // A process that exists, ours or another user's, may still be writing.
            if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
                continue;
            struct stat st { };
            if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0
                && S_ISREG(st.st_mode))
                ::unlinkat(::dirfd(dir), e->d_name, 0);
        }
        ::closedir(dir);
    }

} // namespace

int namedDescriptor(const std::string& path)
{
    long fd = -1;
    const std::string self = "/proc/" + std::to_string(::getpid()) + "/fd/";
    if (path == "-" || path == "/dev/stdout")
        fd = STDOUT_FILENO;
    else if (path == "/dev/stderr")
        fd = STDERR_FILENO;
    else
        for (const std::string& prefix : { std::string("/dev/fd/"), std::string("/proc/self/fd/"),
                 std::string("/proc/thread-self/fd/"), self }) {
            if (path.compare(0, prefix.size(), prefix) == 0)
                fd = wholeNumber(path.substr(prefix.size()));
        }
    if (fd < 0 || ::fcntl(static_cast<int>(fd), F_GETFD) < 0)
        return -1;
    return static_cast<int>(fd);
}

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string systemReason(int error)
{
    std::string text = std::strerror(error);
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z')
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

bool FileIdentity::operator==(const FileIdentity& other) const
{
    return device == other.device && inode == other.inode && name == other.name
        && !(sharable && other.sharable);
}

bool identify(const std::string& named, bool output, FileIdentity* id, std::string* error)
{
    const int fd = output ? namedDescriptor(named) : named == "-" ? STDIN_FILENO : -1;
    const std::string path = fd >= 0 ? named : followLinks(named);
    struct stat st { };
    *id = {};
    if (fd >= 0) {
        if (::fstat(fd, &st) != 0) {
            *error = systemReason(errno);
            return false;
        }
    } else if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            *error = systemReason(errno);
            return false;
        }
        std::string folder;
        splitPath(path, &folder, &id->name);
        if (::stat(folder.c_str(), &st) != 0) {
            *error = systemReason(errno);
            return false;
        }
    }
    id->device = st.st_dev;
    id->inode = st.st_ino;
    id->sharable = fd < 0 && id->name.empty() && S_ISCHR(st.st_mode);
    return true;
}

std::unique_ptr<OutputFile> OutputFile::open(const std::string& named, std::string* error)
{
    // Opening the name again would give a new open file, at its start, or replace the file the
    // shell opened (with >> too).
    const int descriptor = namedDescriptor(named);
    if (descriptor >= 0)
        return std::unique_ptr<OutputFile>(new OutputFile(named, {}, descriptor, false));
    const std::string path = followLinks(named);
    struct stat st { };
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists) {
        if (S_ISDIR(st.st_mode)) {
            *error = "is a directory";
            return nullptr;
        }
        if (!S_ISREG(st.st_mode)) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
            if (fd < 0) {
                *error = systemReason(errno);
                return nullptr;
            }
            std::unique_ptr<OutputFile> out(new OutputFile(named, {}, fd, true));
            if (S_ISFIFO(st.st_mode))
                out->fifo_ = path;
            return out;
        }
    }
    std::string folder;
    std::string name;
    splitPath(path, &folder, &name);
    if (name.empty()) {
        *error = "is a directory";
        return nullptr;
    }
    removeOrphans(folder);
    std::string temp
        = folder + "/." + name + "." + std::to_string(::getpid()) + "@" + hostName() + ".XXXXXX";
    const mode_t mode = exists ? st.st_mode & 07777 : kNewFileMode & ~currentUmask();
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = systemReason(errno);
        return nullptr;
    }
    // Setting the owner clears the set-user-ID bits, so it goes first; only a privileged run
    // may give a file away, and any other keeps its own.
    if (exists && (st.st_uid != ::geteuid() || st.st_gid != ::getegid()))
        (void)!::fchown(fd, st.st_uid, st.st_gid);
    if (::fchmod(fd, mode) != 0) {
        *error = systemReason(errno);
        ::close(fd);
        ::unlink(temp.c_str());
        return nullptr;
    }
    return std::unique_ptr<OutputFile>(new OutputFile(named, std::move(temp), fd, true, path));
}

OutputFile::OutputFile(std::string path, std::string temp, int fd, bool ownsFd, std::string target)
    : path_(std::move(path))
    , target_(target.empty() ? path_ : std::move(target))
    , temp_(std::move(temp))
    , fd_(fd)
    , ownsFd_(ownsFd)
{
    buffer_.reserve(kBufferBytes);
    if (!temp_.empty())
        slot_ = claimSlot(temp_.c_str());
}

OutputFile::~OutputFile()
{
    discard();
    if (ownsFd_ && fd_ >= 0)
        ::close(fd_);
}

bool OutputFile::fail(int error)
{
    if (error_.empty())
        error_ = systemReason(error);
    return false;
}

bool OutputFile::write(const char* data, std::size_t size)
{
    if (!error_.empty())
        return false;
    buffer_.insert(buffer_.end(), data, data + size);
    return buffer_.size() < kBufferBytes || flush();
}

int OutputFile::writeBuffer()
{
    std::size_t done = 0;
    while (done < buffer_.size()) {
        const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        // Only the signals that stop the run interrupt a write (the others restart it), so an
        // interrupted write ends the output too.
        if (n < 0)
            return errno;
        if (n == 0)
            return EIO;
        done += static_cast<std::size_t>(n);
    }
    buffer_.clear();
    return 0;
}

bool OutputFile::awaitReader()
{
    const int fd = ::open(
        fifo_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | (dropsWhileUnread_ ? O_NONBLOCK : 0));
    if (fd < 0) {
        if (errno == ENXIO && dropsWhileUnread_)
            buffer_.clear();
        else
            fail(errno);
        return false;
    }
    // Opened without waiting only to find the reader; written into, it waits for the reader as
    // any pipe does.
    if (dropsWhileUnread_)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    fd_ = fd;
    buffer_.insert(buffer_.begin(), header_.begin(), header_.end());
    return true;
}

bool OutputFile::flush()
{
    for (;;) {
        if (!error_.empty())
            return false;
        if (fd_ < 0 && fifo_.empty())
            return fail(EBADF);
        // Nothing for a reader: no need to wait for one.
        if (fd_ < 0 && buffer_.empty())
            return true;
        if (fd_ < 0 && !awaitReader())
            return error_.empty();
        const int error = writeBuffer();
        if (error == 0)
            return true;
        if (error != EPIPE || fifo_.empty()) {
            readerGone_ = error == EPIPE;
            return fail(error);
        }
        // The reader went away, maybe in the middle of a record: the next one starts with the
        // header and the next record.
        ::close(fd_);
        fd_ = -1;
        buffer_.clear();
    }
}

bool OutputFile::writeHeader(const char* data, std::size_t size)
{
    header_.assign(data, data + size);
    return write(data, size);
}

std::int64_t OutputFile::seek(std::int64_t offset, int whence)
{
    if (!flush())
        return -1;
    const off_t at = ::lseek(fd_, static_cast<off_t>(offset), whence);
    if (at < 0) {
        fail(errno);
        return -1;
    }
    return at;
}

std::int64_t OutputFile::size()
{
    struct stat st { };
    if (!flush())
        return -1;
    if (::fstat(fd_, &st) != 0) {
        fail(errno);
        return -1;
    }
    return st.st_size;
}

bool OutputFile::finish()
{
    if (!temp_.empty() && fd_ < 0)
        return error_.empty();
    if (!flush())
        return false;
    if (temp_.empty())
        return true;
    if (::fsync(fd_) != 0)
        return fail(errno);
    const int fd = fd_;
    fd_ = -1;
    // A set may hold thousands of finished outputs until they are named together.
    std::vector<char>().swap(buffer_);
    if (::close(fd) != 0)
        return fail(errno);
    return true;
}

bool OutputFile::rename()
{
    if (temp_.empty())
        return error_.empty();
    if (!finish())
        return false;
    if (::rename(temp_.c_str(), target_.c_str()) != 0)
        return fail(errno);
    releaseSlot(slot_);
    temp_.clear();
    return true;
}

bool OutputFile::commit()
{
    const bool temporary = !temp_.empty();
    if (!rename())
        return false;
    if (!temporary)
        return true;
    std::string folder;
    std::string name;
    splitPath(target_, &folder, &name);
    const int error = syncFolder(folder);
    return error == 0 || fail(error);
}

void OutputFile::discard()
{
    if (temp_.empty())
        return;
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    ::unlink(temp_.c_str());
    releaseSlot(slot_);
    temp_.clear();
}

int commitAll(const std::vector<OutputFile*>& outputs)
{
    int failed = -1;
    for (std::size_t i = 0; i < outputs.size() && failed < 0; ++i) {
        if (!outputs[i]->finish())
            failed = static_cast<int>(i);
    }
    // Each folder is synced once, after the last new name in it: a folder of numbered pictures
    // takes thousands of names.
    std::vector<std::pair<std::string, std::size_t>> folders;
    for (std::size_t i = 0; i < outputs.size() && failed < 0; ++i) {
        const bool temporary = !outputs[i]->temp_.empty();
        if (!outputs[i]->rename()) {
            failed = static_cast<int>(i);
            break;
        }
        std::string folder;
        std::string name;
        splitPath(outputs[i]->target_, &folder, &name);
        if (temporary && (folders.empty() || folders.back().first != folder))
            folders.emplace_back(folder, i);
    }
    for (std::size_t k = 0; k < folders.size() && failed < 0; ++k) {
        const int error = syncFolder(folders[k].first);
        if (error != 0) {
            outputs[folders[k].second]->fail(error);
            failed = static_cast<int>(folders[k].second);
        }
    }
    if (failed >= 0) {
        for (OutputFile* out : outputs)
            out->discard();
    }
    return failed;
}

void removeTemporariesFromSignal()
{
    for (auto& slot : temporaries) {
        const char* path = slot.load();
        if (path)
            ::unlink(path);
    }
}

} // namespace shell
