#include "machine.h"

#include <ctime>
#include <fstream>
#include <thread>

namespace {

std::string cpu_model()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.compare(0, 10, "model name") == 0) {
            std::size_t colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "unknown CPU";
}

std::string memory_total()
{
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    long kib = 0;
    meminfo >> key >> kib;
    return std::to_string((kib + 512 * 1024) / (1024 * 1024)) + " GiB";
}

std::string today()
{
    std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    return text;
}

} // namespace

std::string describe_machine()
{
    return today() + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores (" +
        cpu_model() + "), " + memory_total() + " of memory";
}

std::string load_average()
{
    std::ifstream loadavg("/proc/loadavg");
    std::string one, five, fifteen;
    loadavg >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}
