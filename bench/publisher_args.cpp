#include "bench.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include <posix_io.h>

std::vector<std::string> PublisherArgs::to_argv(const std::string &program) const
{
    std::vector<std::string> argv = {program, "--role", publisher_name(cell.kind),
        std::to_string(port), std::to_string(cell.qos), std::to_string(cell.size),
        std::to_string(cell.channels), std::to_string(cell.payloads), std::to_string(cell.rate),
        std::to_string(cell.stall_seconds), std::to_string(cell.raw_window),
        std::to_string(cell.mqtt5 ? 1 : 0), std::to_string(cell.spool ? 1 : 0), id, workdir};
    if (!ca_file.empty()) {
        argv.push_back(ca_file);
    }
    return argv;
}

bool PublisherArgs::parse(int argc, char **argv, PublisherArgs &args)
{
    // program --role kind port qos size channels payloads rate stall window mqtt5 spool id
    // workdir [ca_file]
    if ((argc != 15 && argc != 16) || std::strcmp(argv[1], "--role") != 0) {
        return false;
    }
    const std::string kind = argv[2];
    args.cell.kind =
        kind == publisher_name(PublisherKind::RAW) ? PublisherKind::RAW : PublisherKind::PLUGIN;
    if (kind != publisher_name(args.cell.kind)) {
        return false;
    }
    unsigned long long numbers[10];
    for (int i = 0; i < 10; ++i) {
        char *end = nullptr;
        errno = 0;
        numbers[i] = std::strtoull(argv[3 + i], &end, 10);
        if (errno != 0 || end == argv[3 + i] || *end != '\0') {
            return false;
        }
    }
    args.port = static_cast<int>(numbers[0]);
    args.cell.qos = static_cast<int>(numbers[1]);
    args.cell.size = static_cast<std::size_t>(numbers[2]);
    args.cell.channels = static_cast<int>(numbers[3]);
    args.cell.payloads = numbers[4];
    args.cell.rate = static_cast<unsigned>(numbers[5]);
    args.cell.stall_seconds = static_cast<unsigned>(numbers[6]);
    args.cell.raw_window = static_cast<int>(numbers[7]);
    args.cell.mqtt5 = numbers[8] == 1;
    args.cell.spool = numbers[9] == 1;
    args.id = argv[13];
    args.workdir = argv[14];
    args.ca_file = argc == 16 ? argv[15] : "";
    return args.cell.channels > 0 && args.port > 0 && numbers[7] <= 65535 && numbers[8] <= 1 &&
        numbers[9] <= 1;
}

std::string client_id_of(PublisherKind kind, const std::string &id, int process)
{
    switch (kind) {
    case PublisherKind::PLUGIN:
        // The plug-in's own default: the agent UUID, which is the cell's id.
        return id;
    case PublisherKind::RAW:
        return "raw-" + id;
    case PublisherKind::SINK_RUN:
        return "run-" + id;
    case PublisherKind::PUB_CLI:
        return "pub-" + id + "-" + std::to_string(process);
    }
    return id;
}

std::string cell_topic_prefix(const std::string &id)
{
    return "bench/" + id;
}

std::string channel_name(int channel)
{
    return "ch" + std::to_string(channel);
}

void report_line(const std::string &line)
{
    std::string text = line + "\n";
    write_all(STDOUT_FILENO, text.data(), text.size());
}

int role_failed(const std::string &text)
{
    report_line("error " + text);
    return 1;
}

void wait_for_stop()
{
    char buffer[64];
    for (;;) {
        ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && errno != EINTR)) {
            return;
        }
    }
}
