#include "address.h"

#include <arpa/inet.h>

bool ipv6_bytes(const std::string& text, uint8_t bytes[16]) { return inet_pton(AF_INET6, text.c_str(), bytes) == 1; }
