#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <netinet/in.h>

// IPv4 address text as the drivers and the command lines take it. Strict:
// a slip of the hand is refused rather than read as some other address.

// Reads exactly four decimal numbers 0-255 joined by dots, each of one to
// three digits without a leading zero ("0" itself is one). Returns false for
// any other text (an empty or fifth part, a sign, a space, hex); on success
// ip holds the address, the first number in the high byte.
bool ParseIpv4(std::string_view text, uint32_t& ip);

// Reads ADDR:PORT: ADDR as ParseIpv4 takes it, PORT one to five decimal
// digits up to 65535. Port 0 is read too; a caller that needs a peer refuses
// it. Returns false for any other text; on success addr holds the ADDR part
// and port the number.
bool ParseEndpoint(std::string_view text, std::string& addr, int& port);

// An IPv4 socket address from ParseIpv4 text and a port 0-65535. Returns
// false (sa cleared) for any other text or port.
bool MakeSockAddr(const char* text, int port, sockaddr_in& sa);
