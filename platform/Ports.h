// The kernel's TCP socket tables (/proc/net/tcp and /proc/net/tcp6): whether a loopback
// port is taken, and the rows for finding who owns a socket.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// True when 127.0.0.1:port (or [::1]:port with `ipv6`) is the local or the foreign end of
// a listening or established socket in /proc/net/tcp (or /proc/net/tcp6). False when
// the table cannot be read.
bool isLoopbackPortInUse(uint16_t port, bool ipv6);

// The same test over the text of such a table.
bool socketTableHasLoopbackPort(std::string_view table, uint16_t port, bool ipv6);

// An address in network byte order (IPv4 in the first four bytes) and a port.
struct SocketEndpoint {
    std::array<unsigned char, 16> address{};
    uint16_t port = 0;
    bool operator==(const SocketEndpoint&) const = default;
};

struct SocketRow {
    SocketEndpoint local;
    SocketEndpoint remote;
    unsigned state = 0;
    std::optional<uint32_t> owner;  // the uid column, when the row has one
};

// Calls `visit` on each well-formed row of a table's text until it returns true; true
// when one did.
bool findSocketRow(std::string_view table, bool ipv6,
                   const std::function<bool(const SocketRow&)>& visit);

// The text of /proc/net/tcp (/proc/net/tcp6 with `ipv6`); empty when it cannot be read.
std::string readSocketTable(bool ipv6);
