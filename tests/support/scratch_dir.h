/*
 * A private temporary directory for one test's files (broker
 * configuration, logs, certificates, plug-in configuration), removed with
 * everything in it when the owner goes away.
 */
#ifndef TAVRIX_TESTS_SUPPORT_SCRATCH_DIR_H
#define TAVRIX_TESTS_SUPPORT_SCRATCH_DIR_H

#include <string>

class ScratchDir
{
public:
    ScratchDir();
    ~ScratchDir();

    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return root; }
    /* The path of `name` inside the directory. */
    std::string file(const std::string &name) const;
    /* Writes `text` to `name`, replacing it; returns its path. */
    std::string write(const std::string &name, const std::string &text) const;

private:
    std::string root;
};

/* Writes `text` to the file at `path`, replacing it; returns the path. */
std::string write_file(const std::string &path, const std::string &text);

/* The whole content of a file; empty when it cannot be read. */
std::string read_file(const std::string &path);

#endif
