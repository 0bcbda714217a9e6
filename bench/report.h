/*
 * The one table a run prints, as Markdown so that it can go into the
 * README as it is.
 */
#ifndef TAVRIX_BENCH_REPORT_H
#define TAVRIX_BENCH_REPORT_H

#include <ostream>
#include <vector>

#include "cell.h"

void print_table(std::ostream &out, const std::vector<CellResult> &results);

/* Cells that did not run to their end, one line each. */
void print_failures(std::ostream &out, const std::vector<CellResult> &results);

#endif
