// Whether a loopback TCP port is taken, from the kernel's socket tables.
#pragma once

#include <cstdint>
#include <string_view>

// True when 127.0.0.1:port (or [::1]:port with `ipv6`) is the local or the foreign end of
// a listening or established socket in /proc/net/tcp (or /proc/net/tcp6). False when
// the table cannot be read.
bool isLoopbackPortInUse(uint16_t port, bool ipv6);

// The same test over the text of such a table.
bool socketTableHasLoopbackPort(std::string_view table, uint16_t port, bool ipv6);
