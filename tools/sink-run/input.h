/*
 * Payloads from the input, standard input or a file: one per line (line
 * ending removed), or the whole input as one. Reading gives way to an
 * interrupt descriptor, so a stop request is served even while the input
 * is silent.
 */
#ifndef TAVRIX_SINK_RUN_INPUT_H
#define TAVRIX_SINK_RUN_INPUT_H

#include <cstddef>
#include <string>

class InputReader
{
public:
    enum Result { PAYLOAD, END, INTERRUPTED, FAILED };

    /* Opens the file at once, so that a missing one is a usage error
     * before anything starts; an empty path or "-" is standard input.
     * Throws UsageError. */
    InputReader(const std::string &path, bool whole);
    /* Reads from `fd`, which it does not own. */
    InputReader(int fd, bool whole);
    ~InputReader();

    InputReader(const InputReader &) = delete;
    InputReader &operator=(const InputReader &) = delete;

    /* The next payload into `payload`; INTERRUPTED once `interrupt_fd`
     * is readable, FAILED (with error()) on a read error. */
    Result next(std::string &payload, int interrupt_fd);

    const std::string &error() const { return failure; }

private:
    Result fill(int interrupt_fd);
    bool take_line(std::string &payload);

    int fd;
    bool owned = false;
    bool whole;
    bool at_end = false;
    bool whole_taken = false;
    std::string buffer;
    std::size_t start = 0;   // first byte not yet handed out
    std::size_t scanned = 0; // bytes from start known to hold no newline
    std::string failure;
};

#endif
