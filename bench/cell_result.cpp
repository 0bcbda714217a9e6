#include "cell.h"

double CellResult::MessagesPerSecond() const
{
    return seconds > 0 ? static_cast<double>(received) / seconds : 0;
}

double CellResult::FlowMessagesPerSecond() const
{
    return flow_seconds > 0 && received > 1 ? static_cast<double>(received - 1) / flow_seconds : 0;
}

double CellResult::MegabytesPerSecond() const
{
    return MessagesPerSecond() * static_cast<double>(setup.size) / 1e6;
}

double CellResult::CpuPer100k() const
{
    return setup.payloads > 0 ? cpu_seconds * 100000.0 / static_cast<double>(setup.payloads) : 0;
}

double CellResult::HostCpuPer100k() const
{
    return setup.payloads > 0 ? host_cpu_seconds * 100000.0 / static_cast<double>(setup.payloads) : 0;
}
