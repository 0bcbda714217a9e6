#include "schedule.h"

#include <cstdio>

namespace {

bool troubled(const CellResult &cell)
{
    return !cell.error.empty() || cell.corrupt > 0 || cell.Lost() > 0 || cell.dropped > 0 ||
        cell.drops > 0;
}

// A clean attempt beats a troubled one; among equals the faster wins.
bool better(const CellResult &candidate, const CellResult &current)
{
    if (troubled(candidate) != troubled(current)) {
        return !troubled(candidate);
    }
    return candidate.MessagesPerSecond() > current.MessagesPerSecond();
}

void announce(const CellSpec &setup, int round, int rounds)
{
    std::fprintf(stderr, "[round %d/%d] %s: %llu payloads\n", round, rounds, setup.Label().c_str(),
        static_cast<unsigned long long>(setup.payloads));
}

void tell(const CellResult &cell)
{
    std::fprintf(stderr,
        "        %.0f msg/s, %llu lost, %.2f s, CPU %.2f s/100k (host %.2f), "
        "%llu connections (%llu dropped)%s%s\n",
        cell.MessagesPerSecond(), static_cast<unsigned long long>(cell.Lost()), cell.seconds,
        cell.CpuPer100k(), cell.HostCpuPer100k(), static_cast<unsigned long long>(cell.connections),
        static_cast<unsigned long long>(cell.drops), cell.error.empty() ? "" : ", ",
        cell.error.c_str());
}

} // namespace

ScheduleOutcome run_schedule(const std::vector<CellSpec> &plan, const BenchContext &context,
    int repeats)
{
    ScheduleOutcome outcome;
    outcome.best.resize(plan.size());
    std::vector<bool> done(plan.size(), false);
    int index = 0;
    for (int round = 1; round <= repeats; ++round) {
        for (std::size_t i = 0; i < plan.size(); ++i) {
            // A paced cell measures latency, not speed: once is enough.
            if (plan[i].paced() && round > 1) {
                continue;
            }
            announce(plan[i], round, repeats);
            CellResult attempt = run_cell(plan[i], context, index++);
            tell(attempt);
            if (troubled(attempt)) {
                outcome.troubled.push_back(attempt);
            }
            if (!done[i] || better(attempt, outcome.best[i])) {
                outcome.best[i] = attempt;
                done[i] = true;
            }
        }
    }
    return outcome;
}
