#include "convert.h"
#include "keys.h"

#include <cmath>

namespace {

[[noreturn]] void refuse(const nlohmann::json &value, const char *wanted)
{
    throw nlohmann::json::type_error::create(302,
        std::string("type must be ") + wanted + ", but is " + value.type_name(), &value);
}

// The value's low 64 bits as two's complement.
uint64_t low_bits(const nlohmann::json &value)
{
    switch (value.type()) {
    case nlohmann::json::value_t::number_unsigned:
        return value.get<uint64_t>();
    case nlohmann::json::value_t::number_integer:
        return static_cast<uint64_t>(value.get<int64_t>());
    case nlohmann::json::value_t::boolean:
        return value.get<bool>() ? 1 : 0;
    case nlohmann::json::value_t::number_float: {
        double truncated = std::trunc(value.get<double>());
        if (truncated >= 0 && truncated < 18446744073709551616.0) {
            return static_cast<uint64_t>(truncated);
        }
        if (truncated < 0 && truncated >= -9223372036854775808.0) {
            return static_cast<uint64_t>(static_cast<int64_t>(truncated));
        }
        refuse(value, "a number within 64 bits");
    }
    default:
        refuse(value, "number");
    }
}

} // namespace

void config_convert(const nlohmann::json &value, std::string &out)
{
    value.get_to(out);
}

void config_convert(const nlohmann::json &value, bool &out)
{
    value.get_to(out);
}

void config_convert(const nlohmann::json &value, uint32_t &out)
{
    out = static_cast<uint32_t>(low_bits(value));
}

void config_convert(const nlohmann::json &value, int32_t &out)
{
    // Two's-complement narrowing, spelled out rather than left to the
    // implementation-defined signed conversion.
    uint32_t bits = static_cast<uint32_t>(low_bits(value));
    out = bits <= INT32_MAX ? static_cast<int32_t>(bits)
                            : static_cast<int32_t>(static_cast<int64_t>(bits) - 4294967296LL);
}

void config_convert(const nlohmann::json &value, int64_t &out)
{
    uint64_t bits = low_bits(value);
    out = bits <= static_cast<uint64_t>(INT64_MAX)
        ? static_cast<int64_t>(bits)
        : -static_cast<int64_t>(~bits) - 1;
}

bool config_converts(const nlohmann::json &value, ConfigKind kind)
{
    try {
        std::string text;
        uint32_t number = 0;
        bool flag = false;
        switch (kind) {
        case ConfigKind::TEXT: config_convert(value, text); break;
        case ConfigKind::NUMBER: config_convert(value, number); break;
        case ConfigKind::FLAG: config_convert(value, flag); break;
        }
        return true;
    } catch (const nlohmann::json::exception &) {
        return false;
    }
}

const ConfigKey *config_key(const std::string &name)
{
    for (const ConfigKey &key : CONFIG_KEYS) {
        if (name == key.name) {
            return &key;
        }
    }
    return nullptr;
}

const char *config_kind_name(ConfigKind kind)
{
    switch (kind) {
    case ConfigKind::TEXT: return "string";
    case ConfigKind::NUMBER: return "number";
    case ConfigKind::FLAG: return "boolean";
    }
    return "";
}
