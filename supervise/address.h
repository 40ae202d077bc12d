// The system's own reading of an address's text, where it is exact.
#pragma once

#include <cstdint>
#include <string>

// An IPv6 address as inet_pton reads it (an IPv4 tail allowed, no zone):
// false for anything else.
bool ipv6_bytes(const std::string& text, uint8_t bytes[16]);
