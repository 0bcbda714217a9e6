/*
 * Variable expansion.
 */
#ifndef TAVRIX_HOST_AG_VARIABLES_H
#define TAVRIX_HOST_AG_VARIABLES_H

#include <cstddef>
#include <map>
#include <string>

#include "ag_api.h"

/*
 * Writes into `output` (expected empty) the template `input` with every
 * occurrence of a key of `variables` replaced by its value. Keys are
 * normally whole references such as "${uuid_agent}". The template is read
 * once, left to right: substituted text is never expanded again, and a
 * "${...}" reference that no key matches stays as written.
 *
 * Returns the number of substitutions made.
 */
AG_API std::size_t ag_expand_variables(const std::string &input, std::string &output,
    std::map<std::string, std::string> &variables);

#endif
