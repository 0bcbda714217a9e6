/*
 * Runs a plan's cells, each throughput cell `repeats` times in rounds, so
 * that a burst of other work on the machine spoils one attempt of a cell
 * rather than the cell: the table shows each cell's best clean attempt.
 */
#ifndef TAVRIX_BENCH_SCHEDULE_H
#define TAVRIX_BENCH_SCHEDULE_H

#include <string>
#include <vector>

#include "cell.h"

struct ScheduleOutcome {
    /* One per cell of the plan, in its order. */
    std::vector<CellResult> best;
    /* Attempts that lost messages or failed, also those not shown. */
    std::vector<CellResult> troubled;
};

ScheduleOutcome run_schedule(const std::vector<CellSpec> &plan, const BenchContext &context,
    int repeats);

#endif
