#include "spool_directory.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "segment_format.h"

namespace {

constexpr const char *LOCK_NAME = "lock";
constexpr const char *MARK_NAME = "done";
constexpr const char *MARK_ASIDE_NAME = "done.tmp";
constexpr const char *SEGMENT_SUFFIX = ".seg";
constexpr std::size_t SEGMENT_DIGITS = 16;

bool is_directory(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool parse_segment_name(const char *name, uint64_t &first_seq)
{
    if (std::strlen(name) != SEGMENT_DIGITS + std::strlen(SEGMENT_SUFFIX) ||
        std::strcmp(name + SEGMENT_DIGITS, SEGMENT_SUFFIX) != 0) {
        return false;
    }
    first_seq = 0;
    for (std::size_t i = 0; i < SEGMENT_DIGITS; ++i) {
        char c = name[i];
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) {
            return false;
        }
        first_seq = first_seq << 4 | static_cast<uint64_t>(digit);
    }
    return true;
}

} // namespace

bool spool_write_all(int fd, const std::string &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote == -1 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            // No progress and no reason: the only one a file has is room.
            if (wrote == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

SpoolDirectory::~SpoolDirectory()
{
    // Closing the lock file lets the next instance in.
    if (lock_fd != -1) {
        close(lock_fd);
    }
    if (dir_fd != -1) {
        close(dir_fd);
    }
}

std::string SpoolDirectory::ErrorText(const std::string &what, const std::string &name, int error) const
{
    std::string text = "spool " + path + ": " + what;
    if (!name.empty()) {
        text += " " + name;
    }
    return text + ": " + ErrnoText(error);
}

std::string SpoolDirectory::ErrnoText(int error)
{
    return std::string(std::strerror(error)) + " [" + std::to_string(error) + "]";
}

// Each missing level made private: the payloads say what the network
// carries.
bool SpoolDirectory::MakeDirectories(std::string &error)
{
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string level = path.substr(0, slash);
        int made = mkdir(level.c_str(), 0700);
        // A file in the way "exists", which would read as if all were well.
        int mkdir_error = errno == EEXIST ? ENOTDIR : errno;
        if (made == -1 && !is_directory(level)) {
            error = ErrorText("mkdir", level, mkdir_error);
            return false;
        }
        if (slash == std::string::npos) {
            return true;
        }
    }
}

bool SpoolDirectory::Open(const std::string &directory, std::string &error)
{
    path = directory;
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    if (path.empty()) {
        error = "spool: no directory given";
        return false;
    }
    if (!MakeDirectories(error)) {
        return false;
    }
    dir_fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd == -1) {
        error = ErrorText("open", "", errno);
        return false;
    }
    lock_fd = openat(dir_fd, LOCK_NAME, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_fd == -1) {
        error = ErrorText("open", LOCK_NAME, errno);
        return false;
    }
    if (flock(lock_fd, LOCK_EX | LOCK_NB) == -1) {
        error = errno == EWOULDBLOCK ? "spool " + path + ": in use by another instance"
                                     : ErrorText("lock", LOCK_NAME, errno);
        return false;
    }
    return true;
}

bool SpoolDirectory::ListSegments(std::vector<uint64_t> &firsts, std::string &error) const
{
    // A descriptor of its own: the listing reads and moves it.
    int list_fd = dup(dir_fd);
    DIR *listing = list_fd == -1 ? nullptr : fdopendir(list_fd);
    if (listing == nullptr) {
        error = ErrorText("list", "", errno);
        if (list_fd != -1) {
            close(list_fd);
        }
        return false;
    }
    rewinddir(listing);
    firsts.clear();
    while (const struct dirent *entry = readdir(listing)) {
        uint64_t first_seq = 0;
        if (parse_segment_name(entry->d_name, first_seq)) {
            firsts.push_back(first_seq);
        }
    }
    closedir(listing);
    std::sort(firsts.begin(), firsts.end());
    return true;
}

bool SpoolDirectory::SegmentBytes(uint64_t first_seq, uint64_t &bytes) const
{
    struct stat info;
    if (fstatat(dir_fd, SegmentName(first_seq).c_str(), &info, 0) == -1) {
        return false;
    }
    bytes = static_cast<uint64_t>(info.st_size);
    return true;
}

std::string SpoolDirectory::SegmentName(uint64_t first_seq)
{
    char name[SEGMENT_DIGITS + 8];
    std::snprintf(name, sizeof name, "%016" PRIx64 "%s", first_seq, SEGMENT_SUFFIX);
    return name;
}

SpoolDirectory::Mark SpoolDirectory::ReadDoneMark(uint64_t &seq) const
{
    int fd = openat(dir_fd, MARK_NAME, O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        return errno == ENOENT ? Mark::ABSENT : Mark::DAMAGED;
    }
    uint8_t bytes[DONE_MARK_BYTES + 1];
    ssize_t got = read(fd, bytes, sizeof bytes);
    close(fd);
    if (got < 0 || !spool_decode_done_mark(bytes, static_cast<std::size_t>(got), seq)) {
        return Mark::DAMAGED;
    }
    return Mark::READ;
}

int SpoolDirectory::Failure(const std::string &what, const std::string &name, int errno_value,
    std::string &error) const
{
    error = ErrorText(what, name, errno_value);
    return errno_value;
}

int SpoolDirectory::WriteDoneMark(uint64_t seq, std::string &error)
{
    std::string bytes;
    spool_encode_done_mark(bytes, seq);
    int fd = openat(dir_fd, MARK_ASIDE_NAME, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int open_error = errno;
    if (fd == -1) {
        return Failure("create", MARK_ASIDE_NAME, open_error, error);
    }
    // Synced before the rename: a crash must not leave the new name on
    // blocks never written.
    bool written = spool_write_all(fd, bytes) && fdatasync(fd) == 0;
    int write_error = errno;
    close(fd);
    if (!written) {
        return Failure("write", MARK_ASIDE_NAME, write_error, error);
    }
    if (renameat(dir_fd, MARK_ASIDE_NAME, dir_fd, MARK_NAME) == -1) {
        int rename_error = errno;
        return Failure("rename", MARK_ASIDE_NAME, rename_error, error);
    }
    return 0;
}

int SpoolDirectory::SyncEntries(std::string &error)
{
    if (fsync(dir_fd) == -1) {
        int sync_error = errno;
        return Failure("sync", "", sync_error, error);
    }
    return 0;
}
