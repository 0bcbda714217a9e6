/*
 * What Linux tells of the machine and of our children: the benchmark
 * watches its publishers while they run, which rusage cannot do.
 */
#include "bench.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <thread>

namespace {

// What follows `key` on the first line of a file that starts with it.
std::string after_key(const std::string &path, const std::string &key)
{
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (line.compare(0, key.size(), key) == 0) {
            return line.substr(key.size());
        }
    }
    return "";
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
    std::string model = after_key("/proc/cpuinfo", "model name");
    model = model.empty() ? "unknown CPU" : model.substr(model.find(':') + 2);
    return today() + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores (" +
        model + "), " + memory_total() + " of memory";
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
    std::ifstream stat(pid > 0 ? "/proc/" + std::to_string(pid) + "/stat" : "");
    std::string text;
    std::getline(stat, text);
    // The command name may hold spaces; the fields after it do not. State
    // is field 3; utime and stime are fields 14 and 15.
    std::size_t name_end = text.rfind(')');
    long utime = 0;
    long stime = 0;
    if (name_end != std::string::npos) {
        std::sscanf(text.c_str() + name_end + 1,
            "%*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %ld %ld", &utime, &stime);
    }
    return utime + stime;
}

long peak_rss_kb_of(pid_t pid)
{
    std::string kib = pid > 0 ? after_key("/proc/" + std::to_string(pid) + "/status", "VmHWM:")
                              : "";
    return std::strtol(kib.c_str(), nullptr, 10);
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
