#include "broker_list.h"

#include <algorithm>
#include <cstdlib>
#include <optional>

namespace {

constexpr const char *SPACES = " \t";

std::string trimmed(const std::string &text)
{
    std::size_t first = text.find_first_not_of(SPACES);
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(SPACES) - first + 1);
}

// Decimal digits only: "+1883", " 1883" and "0x75b" name no port.
std::optional<uint16_t> port_of(const std::string &digits)
{
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    unsigned long number = std::strtoul(digits.c_str(), nullptr, 10);
    if (number == 0 || number > 65535) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(number);
}

std::optional<BrokerEntry> entry_of(const std::string &entry, uint16_t port)
{
    std::string host = entry, after;
    if (entry.front() == '[') {
        std::size_t close = entry.find(']');
        if (close == std::string::npos) {
            return std::nullopt;
        }
        host = entry.substr(1, close - 1);
        after = entry.substr(close + 1);
        if (!after.empty() && after.front() != ':') {
            return std::nullopt;
        }
    } else if (std::count(entry.begin(), entry.end(), ':') == 1) {
        host = entry.substr(0, entry.find(':'));
        after = entry.substr(entry.find(':'));
    }
    std::optional<uint16_t> given = after.empty() ? port : port_of(after.substr(1));
    if (host.empty() || !given) {
        return std::nullopt;
    }
    return BrokerEntry{host, *given};
}

} // namespace

std::string BrokerEntry::Address() const
{
    bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool BrokerEntry::operator==(const BrokerEntry &other) const
{
    return host == other.host && port == other.port;
}

std::vector<BrokerEntry> config_broker_list(const std::string &hosts, uint16_t port,
    std::vector<std::string> &problems)
{
    std::vector<BrokerEntry> entries;
    std::size_t start = 0;
    for (std::size_t comma; start <= hosts.size(); start = comma + 1) {
        comma = std::min(hosts.find(',', start), hosts.size());
        std::string text = trimmed(hosts.substr(start, comma - start));
        std::optional<BrokerEntry> entry = text.empty() ? std::nullopt : entry_of(text, port);
        if (entry) {
            entries.push_back(*entry);
        } else {
            problems.push_back("host: \"" + text +
                "\" is no broker address (name[:port], the port from 1 to 65535): skipped");
        }
    }
    if (entries.empty()) {
        entries.push_back({DEFAULT_BROKER_HOST, port});
        problems.push_back(
            "host: no usable broker address: connecting to " + entries.front().Address());
    }
    return entries;
}
