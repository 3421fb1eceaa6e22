// Who is at the other end of a loopback TCP connection: the owner of the client's socket,
// asked of the kernel's socket diagnostics, or found in its socket table when those are
// not there.
#pragma once

#include <sys/socket.h>
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/Ports.h"

// The endpoint of an AF_INET or AF_INET6 address; nothing for another family.
std::optional<SocketEndpoint> socketEndpoint(const sockaddr* address, socklen_t length);

// The uid owning the client socket of the connection from `peer` to `listener` (both of
// the same family): the table row whose local end is the peer and remote end the
// listener, still established. Nothing when there is no such connection.
std::optional<uint32_t> loopbackPeerOwner(const sockaddr* peer, socklen_t peerLength,
                                          const sockaddr* listener, socklen_t listenerLength);

// The uid owning the socket that listens on 127.0.0.1:port ([::1]:port with `ipv6`), from
// the same socket diagnostics (or table). Nothing when no socket listens there.
std::optional<uint32_t> loopbackPortHolder(uint16_t port, bool ipv6);

// The same lookup as loopbackPeerOwner over the text of a table.
std::optional<uint32_t> socketTablePeerOwner(std::string_view table, bool ipv6,
                                             const SocketEndpoint& peer,
                                             const SocketEndpoint& listener);
