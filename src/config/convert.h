/*
 * Conversion of configuration values to member types.
 *
 * Strings and booleans are strict. Integer members accept any number or
 * boolean and keep the low bits of its two's-complement value, with
 * floating point truncated toward zero. A floating-point value beyond the
 * 64-bit range has no low bits to keep, so it is refused like a value of
 * the wrong type instead of being cast (which would be undefined).
 * Every refusal throws nlohmann::json's type error.
 */
#ifndef TAVRIX_CONFIG_CONVERT_H
#define TAVRIX_CONFIG_CONVERT_H

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

void config_convert(const nlohmann::json &value, std::string &out);
void config_convert(const nlohmann::json &value, bool &out);
void config_convert(const nlohmann::json &value, uint32_t &out);
void config_convert(const nlohmann::json &value, int32_t &out);
void config_convert(const nlohmann::json &value, int64_t &out);

#endif
