/*
 * A file only this user can read (mode 0600, in a directory of mode 0700
 * of its own), removed with its directory when its owner goes away: the
 * configuration the runner writes for the plug-in, which may hold a
 * password.
 */
#ifndef TAVRIX_SINK_RUN_PRIVATE_FILE_H
#define TAVRIX_SINK_RUN_PRIVATE_FILE_H

#include <mutex>
#include <string>

class PrivateFile
{
public:
    /* Creates the directory under $TMPDIR (else /tmp); the file is called
     * `name` in it. Throws std::runtime_error. */
    explicit PrivateFile(const std::string &name);
    ~PrivateFile();

    PrivateFile(const PrivateFile &) = delete;
    PrivateFile &operator=(const PrivateFile &) = delete;

    const std::string &path() const { return file_path; }

    /* Replaces the content as a whole: a reader sees the old text or the
     * new one, never a part. Throws std::runtime_error. */
    void write(const std::string &text);

    /* Removes the file and its directory now; later writes do nothing.
     * Safe from any thread. */
    void remove() noexcept;

private:
    std::mutex lock;
    std::string directory;
    std::string file_path;
    bool removed = false;
};

#endif
