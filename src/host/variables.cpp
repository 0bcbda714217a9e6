#include "host/ag_variables.h"

#include <vector>

namespace {

bool is_reference(const std::string &key)
{
    return key.size() >= 3 && key.compare(0, 2, "${") == 0 && key.back() == '}' &&
        key.find('}') == key.size() - 1;
}

// Keys that are not "${...}" references cannot be found by the reference
// scan, so they are tried at every position; hosts rarely have any.
std::vector<const std::pair<const std::string, std::string> *> plain_keys(
    const std::map<std::string, std::string> &variables)
{
    std::vector<const std::pair<const std::string, std::string> *> plain;
    for (const auto &entry : variables) {
        if (!entry.first.empty() && !is_reference(entry.first)) {
            plain.push_back(&entry);
        }
    }
    return plain;
}

} // namespace

std::size_t ag_expand_variables(const std::string &input, std::string &output,
    std::map<std::string, std::string> &variables)
{
    const auto plain = plain_keys(variables);
    std::size_t substitutions = 0;
    std::string reference;
    output.reserve(output.size() + input.size());

    for (std::size_t at = 0; at < input.size();) {
        if (input.compare(at, 2, "${") == 0) {
            std::size_t close = input.find('}', at + 2);
            if (close != std::string::npos) {
                reference.assign(input, at, close + 1 - at);
                auto found = variables.find(reference);
                if (found != variables.end()) {
                    output += found->second;
                    ++substitutions;
                    at = close + 1;
                    continue;
                }
            }
        }
        const std::pair<const std::string, std::string> *longest = nullptr;
        for (const auto *entry : plain) {
            if (input.compare(at, entry->first.size(), entry->first) == 0 &&
                (longest == nullptr || entry->first.size() > longest->first.size())) {
                longest = entry;
            }
        }
        if (longest != nullptr) {
            output += longest->second;
            ++substitutions;
            at += longest->first.size();
            continue;
        }
        output.push_back(input[at++]);
    }
    return substitutions;
}
