/*
 * Whether a plug-in was built for this host: its exported interface
 * record against the one this program was built with.
 */
#ifndef TAVRIX_SINK_RUN_ABI_CHECK_H
#define TAVRIX_SINK_RUN_ABI_CHECK_H

#include <cstddef>
#include <string>

/* Checks the record at `record`, whose symbol is `size` bytes (0 when the
 * size is unknown). Returns what differs, naming each field with the
 * value found and the value expected; empty when the record fits. */
std::string check_abi_record(const void *record, std::size_t size);

#endif
