/*
 * SHA-256, for deriving identifiers from machine secrets without
 * revealing them.
 */
#ifndef TAVRIX_SINK_RUN_SHA256_H
#define TAVRIX_SINK_RUN_SHA256_H

#include <array>
#include <cstdint>
#include <string>

std::array<uint8_t, 32> sha256(const std::string &message);

#endif
