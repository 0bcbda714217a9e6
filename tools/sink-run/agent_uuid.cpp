#include "agent_uuid.h"

#include <cctype>
#include <fstream>
#include <random>

#include <openssl/evp.h>

namespace {

// Salts the hash so that other programs deriving ids from the same machine
// id get other ids.
constexpr const char *APPLICATION = "tavrix-sink-run agent uuid:";

bool is_machine_id(const std::string &text)
{
    if (text.size() != 32) {
        return false;
    }
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return text != std::string(32, '0');
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
    if (!is_machine_id(machine_id)) {
        return std::string();
    }
    std::string lower;
    for (char c : machine_id) {
        lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    std::string salted = APPLICATION + lower;
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

std::string default_agent_uuid(const std::string &machine_id_path)
{
    std::ifstream file(machine_id_path);
    std::string machine_id;
    if (file >> machine_id) {
        std::string uuid = uuid_from_machine_id(machine_id);
        if (!uuid.empty()) {
            return uuid;
        }
    }
    return random_uuid();
}
