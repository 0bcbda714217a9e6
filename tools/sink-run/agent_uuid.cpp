#include "agent_uuid.h"

#include <cctype>
#include <fstream>
#include <random>

#include <unistd.h>

#include <openssl/evp.h>

namespace {

// Salt the hash so that other programs deriving ids from the same machine
// id get other ids; the host name's salt keeps a host named like a
// machine id apart from that machine.
constexpr const char *MACHINE_ID_SALT = "tavrix-sink-run agent uuid:";
constexpr const char *HOST_NAME_SALT = "tavrix-sink-run agent uuid from host name:";

// Lower-case hex digits without hyphens (FreeBSD writes its host UUID
// with them); empty unless that makes 32 digits that are not all zero,
// which some firmware reports for "unknown".
std::string bare_machine_id(const std::string &text)
{
    std::string bare;
    for (char c : text) {
        if (c == '-') {
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return std::string();
        }
        bare.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    if (bare.size() != 32 || bare == std::string(32, '0')) {
        return std::string();
    }
    return bare;
}

std::string hashed_uuid(const std::string &salted)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(salted.data(), salted.size(), digest, &length, EVP_sha256(), nullptr) != 1 ||
        length < 16) {
        return std::string();
    }
    std::array<uint8_t, 16> bytes;
    std::copy(digest, digest + 16, bytes.begin());
    return format_uuid(bytes);
}

std::string random_uuid()
{
    std::random_device source;
    std::array<uint8_t, 16> bytes;
    for (auto &byte : bytes) {
        byte = static_cast<uint8_t>(source());
    }
    return format_uuid(bytes);
}

std::string local_host_name()
{
    // POSIX bounds a host name at 255 bytes; some systems do not terminate
    // one that fills the buffer.
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return std::string();
    }
    return name;
}

} // namespace

std::string format_uuid(std::array<uint8_t, 16> bytes)
{
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3f) | 0x80);
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text.push_back('-');
        }
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0f]);
    }
    return text;
}

std::string uuid_from_machine_id(const std::string &machine_id)
{
    std::string bare = bare_machine_id(machine_id);
    return bare.empty() ? std::string() : hashed_uuid(MACHINE_ID_SALT + bare);
}

std::string uuid_from_host_name(const std::string &host_name)
{
    return host_name.empty() ? std::string() : hashed_uuid(HOST_NAME_SALT + host_name);
}

const std::vector<std::string> &machine_id_files()
{
    static const std::vector<std::string> files = {
        "/etc/machine-id", "/var/lib/dbus/machine-id", "/etc/hostid"};
    return files;
}

AgentUuid default_agent_uuid(const std::vector<std::string> &files, const std::string &host_name)
{
    for (const std::string &path : files) {
        std::ifstream file(path);
        std::string machine_id;
        if (file >> machine_id) {
            std::string uuid = uuid_from_machine_id(machine_id);
            if (!uuid.empty()) {
                return {uuid, path};
            }
        }
    }
    std::string uuid = uuid_from_host_name(host_name);
    if (!uuid.empty()) {
        return {uuid, "host name"};
    }
    return {random_uuid(), "random"};
}

AgentUuid default_agent_uuid()
{
    return default_agent_uuid(machine_id_files(), local_host_name());
}
