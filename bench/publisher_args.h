/*
 * The in-process publishers run in a child process of the benchmark (the
 * benchmark program again, with --role), so that the CPU time and the
 * peak memory the parent reads for them are theirs alone. This is what
 * crosses the command line, and the topics both sides derive from it.
 *
 * The child reports on its standard output, one line each:
 *   "t0 <ns>"     when the first payload was handed over,
 *   "sent <n>"    once all n payloads are handed over,
 *   "dropped <n>" payloads the host queue refused (the plug-in only),
 *   "error <text>" and exit status 1 when it cannot go on,
 * and then waits for the end of its standard input before it tears down.
 */
#ifndef TAVRIX_BENCH_PUBLISHER_ARGS_H
#define TAVRIX_BENCH_PUBLISHER_ARGS_H

#include <cstdint>
#include <string>
#include <vector>

#include "plan.h"

struct PublisherArgs {
    CellSpec cell;
    int port;
    /* Names the cell in client ids and topics. */
    std::string id;
    /* Where the child may write files (the plug-in's configuration). */
    std::string workdir;
    /* The CA to trust on a TLS link; empty: no TLS. */
    std::string ca_file;

    std::vector<std::string> ToArgv(const std::string &program) const;
    /* Parses what follows "--role"; false on anything unexpected. */
    static bool Parse(int argc, char **argv, PublisherArgs &args);
};

/* The MQTT client id of a cell's publisher (`process`: which of
 * mosquitto_pub's processes), by which the broker's log names it. */
std::string client_id_of(PublisherKind kind, const std::string &id, int process = 0);

/* Topic prefix of a cell; channel k publishes to "<prefix>/ch<k>". */
std::string cell_topic_prefix(const std::string &id);
std::string channel_name(int channel);

/* Writes all of `data` unless the descriptor fails; false then. */
bool write_all(int fd, const char *data, std::size_t length);

/* Child side: one report line, written at once. */
void report_line(const std::string &line);

/* Child side: blocks until the parent closes our standard input. */
void wait_for_stop();

#endif
