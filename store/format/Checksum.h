#pragma once
// The CRC-32 a binary store ends with (reflected polynomial 0xEDB88320, initial
// value and final xor 0xFFFFFFFF): the fastest way the processor allows, and the
// plain table-driven way, which must agree with it.

#include <cstdint>
#include <string_view>

std::uint32_t storeChecksum(std::string_view data);
std::uint32_t storeChecksumPortable(std::string_view data);
