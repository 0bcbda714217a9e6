/*
 * tavrix-sink-run: delivers payloads from a pipe or a file to an MQTT
 * broker through the sink plug-in, hosted as the agent hosts it.
 */
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "options.h"
#include "runner.h"

int main(int argc, char **argv)
{
    try {
        Options options = parse_options(std::vector<std::string>(argv + 1, argv + argc));
        if (options.help) {
            std::fputs(usage_text().c_str(), stdout);
            return EXIT_DELIVERED;
        }
        if (options.version) {
            std::printf("tavrix-sink-run %s\n", TAVRIX_SINK_RUN_VERSION);
            return EXIT_DELIVERED;
        }
        return run(options);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tavrix-sink-run: %s\n", e.what());
        return dynamic_cast<const UsageError *>(&e) != nullptr ? EXIT_USAGE : EXIT_PLUGIN_FAILED;
    }
}
