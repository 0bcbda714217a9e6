/*
 * The spool's directory: made with its missing parents, private to the
 * agent's user (mode 0700), and held by one instance at a time.
 *
 * The hold is flock() on a lock file: unlike fcntl() locks, which belong
 * to the process and so let two instances of one agent share a directory
 * unawares, an flock() lock belongs to the open file, so it keeps apart
 * instances of one process as well as processes. The kernel lets it go
 * when its holder dies, so a crash leaves no stale lock behind.
 *
 * It also keeps the done mark: the lowest sequence number not yet done,
 * written aside and renamed over the old one, under a CRC, so that a
 * crash leaves the old mark or the new one and never half of one.
 * Files are reached through the directory's descriptor, so a directory
 * renamed away is followed and one removed fails every new file.
 */
#ifndef TAVRIX_SPOOL_SPOOL_DIRECTORY_H
#define TAVRIX_SPOOL_SPOOL_DIRECTORY_H

#include <cstdint>
#include <string>
#include <vector>

class SpoolDirectory
{
public:
    enum class Mark { ABSENT, READ, DAMAGED };

    SpoolDirectory() = default;
    ~SpoolDirectory();
    SpoolDirectory(const SpoolDirectory &) = delete;
    SpoolDirectory &operator=(const SpoolDirectory &) = delete;

    /* Makes the directory if need be and takes the lock; false with
     * `error` set when it cannot be used or another instance holds it. */
    bool Open(const std::string &path, std::string &error);

    int Fd() const { return dir_fd; }
    const std::string &Path() const { return path; }

    /* The first sequence numbers of the segments the directory holds,
     * ascending. */
    bool ListSegments(std::vector<uint64_t> &firsts, std::string &error) const;
    /* A segment's size in bytes; false with errno set. */
    bool SegmentBytes(uint64_t first_seq, uint64_t &bytes) const;
    static std::string SegmentName(uint64_t first_seq);

    Mark ReadDoneMark(uint64_t &seq) const;
    /* Durable once it returns; 0, or errno with `error` set. */
    int WriteDoneMark(uint64_t seq, std::string &error);
    /* Makes new and removed entries durable; 0, or errno with `error` set. */
    int SyncEntries(std::string &error);

    /* `what`, then `name` when not empty, and errno's text and number,
     * after the directory's path: one log line. */
    std::string ErrorText(const std::string &what, const std::string &name, int error) const;
    /* errno's text and number. */
    static std::string ErrnoText(int error);

private:
    bool MakeDirectories(std::string &error);
    /* Sets `error` and returns `errno_value`. */
    int Failure(const std::string &what, const std::string &name, int errno_value,
        std::string &error) const;

    std::string path;
    int dir_fd = -1;
    int lock_fd = -1;
};

/* Writes all of `bytes`, through short writes and signals; false with
 * errno set. */
bool spool_write_all(int fd, const std::string &bytes);

#endif
