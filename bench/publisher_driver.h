/*
 * The parent's side of one publisher run: start it, hear when it handed
 * its first and last payload over, and collect what it cost once it has
 * ended.
 */
#ifndef TAVRIX_BENCH_PUBLISHER_DRIVER_H
#define TAVRIX_BENCH_PUBLISHER_DRIVER_H

#include <cstdint>
#include <memory>
#include <string>

#include "publisher_args.h"

struct PublisherCost {
    /* User plus system time of the publishing processes. */
    double cpu_seconds = 0;
    /* Their peak resident set, summed over processes. */
    long peak_rss_kb = 0;
    /* Of cpu_seconds, what the host's thread spent making and queueing
     * payloads (the plug-in only). */
    double host_cpu_seconds = 0;
    /* Payloads the host's queue refused. */
    uint64_t dropped = 0;
};

class PublisherDriver
{
public:
    virtual ~PublisherDriver() = default;

    virtual bool Start(std::string &error) = 0;
    /* Takes in what the publisher reports, waiting up to `timeout_ms`. */
    virtual void Poll(int timeout_ms) = 0;
    /* Every payload handed over. */
    virtual bool Sent() const = 0;
    /* The hand-over of the first payload; 0 before it is known. */
    virtual int64_t FirstHandOverNs() const = 0;
    /* CPU time of the publishing processes so far, in clock ticks. */
    virtual long CpuTicks() const = 0;
    /* Non-empty once the publisher has failed. */
    virtual std::string Failure() const = 0;
    /* Lets the publisher end and collects its cost; false (with `error`)
     * when it did not end well. */
    virtual bool Finish(PublisherCost &cost, std::string &error) = 0;
};

/* The plug-in or the raw publisher, as a child role of `program`. */
std::unique_ptr<PublisherDriver> make_child_role_driver(const std::string &program,
    const PublisherArgs &args);
/* mosquitto_pub -l, one process per channel. */
std::unique_ptr<PublisherDriver> make_pub_cli_driver(const PublisherArgs &args);
/* tavrix-sink-run, one process for every channel. */
std::unique_ptr<PublisherDriver> make_sink_run_driver(const PublisherArgs &args);

#endif
