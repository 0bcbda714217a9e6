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

/* Attempts that failed, lost messages or received corrupt ones, one line
 * each. */
void print_troubles(std::ostream &out, const std::vector<CellResult> &attempts);

#endif
