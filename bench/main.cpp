/*
 * tavrix-bench: throughput and latency of the plug-in against a raw
 * libmosquitto publisher and mosquitto_pub, through a private broker.
 *
 *   tavrix-bench [--tiny] [--only TEXT]
 *
 * --tiny runs a few small cells, only to prove that the benchmark works;
 * --only keeps the cells whose label (e.g. "plugin q1 200B 4ch") contains
 * TEXT. The table goes to standard output, progress to standard error.
 * The same program, started with --role, is one publisher of a cell.
 */
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include <mosquitto.h>

#include "brokers.h"
#include "machine.h"
#include "cell.h"
#include "plan.h"
#include "publishers.h"
#include "report.h"
#include "schedule.h"

namespace {

// Each throughput cell of a full run is measured this often; the table
// keeps its best clean attempt.
constexpr int FULL_RUN_ROUNDS = 2;

struct Options {
    bool tiny = false;
    std::string only;
};

bool parse_options(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--tiny") == 0) {
            options.tiny = true;
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            options.only = argv[++i];
        } else {
            return false;
        }
    }
    return true;
}

int run_role(int argc, char **argv)
{
    PublisherArgs args;
    if (!PublisherArgs::Parse(argc, argv, args)) {
        std::fprintf(stderr, "tavrix-bench: bad --role arguments\n");
        return 2;
    }
    return args.cell.kind == PublisherKind::PLUGIN ? run_plugin_publisher(args) : run_raw_publisher(args);
}

std::string own_program()
{
    return std::filesystem::read_symlink("/proc/self/exe").string();
}

// Failures that mean the benchmark itself no longer works. A tiny run also
// treats the plug-in's losses and dropped connections as failures: nothing
// may be lost on a quiet machine, and no broker of the run has a reason to
// drop it.
bool cell_failed(const CellResult &cell, bool tiny)
{
    bool fault = cell.Lost() > 0 || cell.dropped > 0 || cell.drops > 0;
    return !cell.error.empty() || cell.corrupt > 0 || cell.received == 0 ||
        (tiny && cell.setup.kind == PublisherKind::PLUGIN && fault);
}

int run_benchmark(const Options &options)
{
    std::vector<CellSpec> plan = make_plan(options.tiny, options.only, TAVRIX_SINK_RUN[0] != '\0');
    if (plan.empty()) {
        std::fprintf(stderr, "tavrix-bench: no cell matches \"%s\"\n", options.only.c_str());
        return 2;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "tavrix-bench.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("tavrix-bench: mkdtemp");
        return 1;
    }
    const std::string machine = describe_machine();
    const std::string load_before = load_average();
    ScheduleOutcome outcome;
    {
        BenchBrokers brokers(pattern);
        BenchContext context{own_program(), pattern, &brokers};
        outcome = run_schedule(plan, context, options.tiny ? 1 : FULL_RUN_ROUNDS);
    }

    std::cout << "Measured " << machine << "; load average " << load_before << " before the run, "
              << load_average() << " after it.\n\n";
    print_table(std::cout, outcome.best);
    print_troubles(std::cout, outcome.troubled);
    bool failed = false;
    for (const CellResult &cell : outcome.best) {
        failed = failed || cell_failed(cell, options.tiny);
    }
    // Logs stay for a look when something went wrong.
    if (failed) {
        std::fprintf(stderr, "tavrix-bench: failed; logs in %s\n", pattern.c_str());
    } else {
        std::filesystem::remove_all(pattern);
    }
    return failed ? 1 : 0;
}

} // namespace

int main(int argc, char **argv)
{
    // A publisher that dies must not take us down through its pipe.
    std::signal(SIGPIPE, SIG_IGN);
    if (argc > 1 && std::strcmp(argv[1], "--role") == 0) {
        return run_role(argc, argv);
    }
    Options options;
    if (!parse_options(argc, argv, options)) {
        std::fprintf(stderr, "usage: %s [--tiny] [--only TEXT]\n", argv[0]);
        return 2;
    }
    mosquitto_lib_init();
    int status = run_benchmark(options);
    mosquitto_lib_cleanup();
    return status;
}
