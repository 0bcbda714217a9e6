/*
 * Payloads from the input: one per line (line ending removed), or the
 * whole input as one. Reading gives way to an interrupt descriptor, so a
 * stop request is served even while the input is silent.
 */
#ifndef TAVRIX_SINK_RUN_INPUT_READER_H
#define TAVRIX_SINK_RUN_INPUT_READER_H

#include <cstddef>
#include <string>

class InputReader
{
public:
    enum Result { PAYLOAD, END, INTERRUPTED, FAILED };

    /* Reads from `fd`, which it does not own. */
    InputReader(int fd, bool whole);

    /* The next payload into `payload`; INTERRUPTED once `interrupt_fd`
     * is readable, FAILED (with error()) on a read error. */
    Result next(std::string &payload, int interrupt_fd);

    const std::string &error() const { return failure; }

private:
    enum Fill { FILLED, AT_END, STOPPED, BROKEN };

    Fill fill(int interrupt_fd);
    bool take_line(std::string &payload);
    bool take_rest(std::string &payload);

    int fd;
    bool whole;
    bool at_end = false;
    bool rest_taken = false;
    std::string buffer;
    std::size_t start = 0;   // first byte not yet handed out
    std::size_t scanned = 0; // bytes from start known to hold no newline
    std::string failure;
};

#endif
