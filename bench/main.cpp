/*
 *   tavrix-bench [--tiny] [--only TEXT]
 *
 * --tiny runs a few small cells, only to prove that the benchmark works;
 * --only keeps the cells whose label (e.g. "plugin q1 200B 4ch") contains
 * TEXT. The table goes to standard output, progress to standard error.
 * The same program, started with --role, is one publisher of a cell.
 */
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <mosquitto.h>

#include "bench.h"

namespace {

// Each throughput cell of a full run is measured this often; the table
// keeps its best clean attempt.
constexpr int FULL_RUN_ROUNDS = 2;

int run_role(int argc, char **argv)
{
    PublisherArgs args;
    if (!PublisherArgs::parse(argc, argv, args)) {
        std::fprintf(stderr, "tavrix-bench: bad --role arguments\n");
        return 2;
    }
    return args.cell.kind == PublisherKind::PLUGIN ? run_plugin_publisher(args)
                                                   : run_raw_publisher(args);
}

// A clean attempt beats a troubled one; among equals the faster wins.
bool better(const CellResult &candidate, const CellResult &current)
{
    if (candidate.troubled() != current.troubled()) {
        return !candidate.troubled();
    }
    return candidate.messages_per_second() > current.messages_per_second();
}

// Runs a plan's cells, each throughput cell `repeats` times in rounds, so
// that a burst of other work on the machine spoils one attempt of a cell
// rather than the cell: returns each cell's best attempt, the clean one
// where there was one. Attempts that lost messages or failed, also those
// not returned, go to `troubled`.
std::vector<CellResult> run_schedule(const std::vector<CellSpec> &plan,
    const BenchContext &context, int repeats, std::vector<CellResult> &troubled)
{
    std::vector<CellResult> best(plan.size());
    int index = 0;
    for (int round = 1; round <= repeats; ++round) {
        for (std::size_t i = 0; i < plan.size(); ++i) {
            // A paced cell measures latency, not speed: once is enough.
            if (plan[i].paced() && round > 1) {
                continue;
            }
            std::fprintf(stderr, "[round %d/%d] %s: %llu payloads\n", round, repeats,
                plan[i].label().c_str(), static_cast<unsigned long long>(plan[i].payloads));
            const CellResult attempt = run_cell(plan[i], context, index++);
            std::fprintf(stderr,
                "        %.0f msg/s, %llu lost, %.2f s, CPU %.2f s/100k (host %.2f), "
                "%llu connections (%llu dropped)%s%s\n",
                attempt.messages_per_second(), static_cast<unsigned long long>(attempt.lost()),
                attempt.seconds, attempt.cpu_per_100k(), attempt.host_cpu_per_100k(),
                static_cast<unsigned long long>(attempt.connections),
                static_cast<unsigned long long>(attempt.drops), attempt.error.empty() ? "" : ", ",
                attempt.error.c_str());
            if (attempt.troubled()) {
                troubled.push_back(attempt);
            }
            // Every cell runs in the first round.
            if (round == 1 || better(attempt, best[i])) {
                best[i] = attempt;
            }
        }
    }
    return best;
}

// Failures that mean the benchmark itself no longer works. A tiny run also
// treats the plug-in's losses and dropped connections as failures: nothing
// may be lost on a quiet machine, and no broker of the run has a reason to
// drop it.
bool cell_failed(const CellResult &cell, bool tiny)
{
    return cell.received == 0 || !cell.error.empty() || cell.corrupt > 0 ||
        (tiny && cell.setup.kind == PublisherKind::PLUGIN && cell.troubled());
}

int run_benchmark(bool tiny, const std::string &only)
{
    std::vector<CellSpec> plan = make_plan(tiny, only, TAVRIX_SINK_RUN[0] != '\0');
    if (plan.empty()) {
        std::fprintf(stderr, "tavrix-bench: no cell matches \"%s\"\n", only.c_str());
        return 2;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "tavrix-bench.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("tavrix-bench: mkdtemp");
        return 1;
    }
    const std::string machine = describe_machine();
    const std::string load_before = load_average();
    std::vector<CellResult> best;
    std::vector<CellResult> troubled;
    {
        BenchBrokers brokers(pattern);
        BenchContext context{std::filesystem::read_symlink("/proc/self/exe"), pattern, &brokers};
        best = run_schedule(plan, context, tiny ? 1 : FULL_RUN_ROUNDS, troubled);
    }

    std::cout << "Measured " << machine << "; load average " << load_before << " before the run, "
              << load_average() << " after it.\n\n";
    print_table(std::cout, best);
    print_troubles(std::cout, troubled);
    const bool failed = std::any_of(best.begin(), best.end(),
        [tiny](const CellResult &cell) { return cell_failed(cell, tiny); });
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
    bool tiny = false;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--tiny") == 0) {
            tiny = true;
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--tiny] [--only TEXT]\n", argv[0]);
            return 2;
        }
    }
    mosquitto_lib_init();
    int status = run_benchmark(tiny, only);
    mosquitto_lib_cleanup();
    return status;
}
