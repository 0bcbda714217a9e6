/*
 * The input's descriptor: standard input, or a file opened up front so
 * that a missing one is a usage error before anything starts.
 */
#ifndef TAVRIX_SINK_RUN_INPUT_FILE_H
#define TAVRIX_SINK_RUN_INPUT_FILE_H

#include <string>

class InputFile
{
public:
    /* Empty path or "-": standard input. Throws UsageError. */
    explicit InputFile(const std::string &path);
    ~InputFile();

    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;

    int fd() const { return descriptor; }

private:
    int descriptor;
    bool owned;
};

#endif
