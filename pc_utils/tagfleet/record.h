// A result's record in the report (record.cpp), and the script's SHA-256
// it names (sha256.cpp).
#pragma once

#include "fleet.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The record of a result, one JSON object.
std::string format_record(const fleet& f, const fleet_port& p);

// The SHA-256 of `length` bytes as 64 hex digits and a NUL.
void sha256_hex(const uint8_t* bytes, size_t length, char* hex);
