/*
 * What Linux tells of the machine and of our children: the benchmark
 * watches its publishers while they run, which rusage cannot do.
 */
#include "bench.h"

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
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

long cpu_ticks_of(pid_t pid)
{
    if (pid <= 0) {
        return 0;
    }
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    // The command name may hold spaces; the fields after it do not.
    std::size_t name_end = text.rfind(')');
    if (name_end == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(name_end + 2));
    std::string field;
    long ticks = 0;
    // State is field 3; utime and stime are fields 14 and 15.
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number >= 14) {
            ticks += std::strtol(field.c_str(), nullptr, 10);
        }
    }
    return ticks;
}

long peak_rss_kb_of(pid_t pid)
{
    if (pid <= 0) {
        return 0;
    }
    std::ifstream status_file("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status_file, line)) {
        if (line.compare(0, 6, "VmHWM:") == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return 0;
}

double cpu_seconds_of(const struct rusage &usage)
{
    auto seconds = [](const struct timeval &time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::string log_tail(const std::string &path)
{
    constexpr long KEEP = 2000;
    std::ifstream stream(path, std::ios::binary | std::ios::ate);
    long size = stream ? static_cast<long>(stream.tellg()) : 0;
    long from = size > KEEP ? size - KEEP : 0;
    std::string text(static_cast<std::size_t>(size - from), '\0');
    stream.seekg(from);
    stream.read(text.data(), static_cast<std::streamsize>(text.size()));
    return (from > 0 ? "..." : "") + text;
}
