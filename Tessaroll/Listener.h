// The loopback HTTPS listeners and the listener callbacks that are not about requests.
#pragma once

#include <microhttpd.h>
#include <sys/socket.h>
#include <array>
#include <cstdarg>
#include <cstddef>
#include <string>

inline constexpr int listenerPortCount = 3;
// epoll instead of select: a descriptor above FD_SETSIZE would otherwise make a listener drop
// every new connection. Suspend and resume let a long adapter call run on a worker while the
// listener's one polling thread serves other pages. The values changed with both on purpose.
inline constexpr unsigned int ipv4ListenerFlags = MHD_USE_ERROR_LOG | MHD_USE_TLS |
                                                  MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL |
                                                  MHD_ALLOW_SUSPEND_RESUME;          // 0x260b
inline constexpr unsigned int ipv6ListenerFlags = ipv4ListenerFlags | MHD_USE_IPv6;  // 0x261b
static_assert(ipv4ListenerFlags == 0x260b && ipv6ListenerFlags == 0x261b);

// A connection silent this long is closed: what the answers advertise as
// "Keep-Alive: timeout=15". It also bounds a TLS handshake that never completes.
inline constexpr unsigned int idleConnectionSeconds = 15;
// Connections one listener keeps open. A new connection beyond them closes the one idle the
// longest (between requests, or not yet through its headers); only when there is none, the
// one whose body arrives the slowest; never one waiting for its answer. So a flood of idle
// or dribbling connections neither keeps the next page out nor cuts off a page whose
// request is still arriving.
inline constexpr unsigned int listenerConnectionCap = 512;

// The answers one connection gets: what "Keep-Alive: timeout=15, max=100" advertises. The
// last of them says "Connection: close".
inline constexpr unsigned int answersPerConnection = 100;
// Counts one more answer on `connection` and returns how many it has had, this one included;
// 0 for a connection no listener of ours started.
unsigned int countAnswer(MHD_Connection* connection);
// Where a connection's request stands, for the connection cap.
enum class RequestPhase {
    idle,       // between requests: its answer is out
    receiving,  // its body arrives
    answering,  // complete, waiting for its answer or receiving it
};
// Notes the phase of `connection`'s request, with `bodyBytes` more of its body arrived.
void noteRequestPhase(MHD_Connection* connection, RequestPhase phase, std::size_t bodyBytes = 0);

// TLS 1.2 and 1.3 only, no SHA-1 (neither as MAC nor in signatures).
inline constexpr const char* listenerPriorityText =
    "NORMAL:!VERS-TLS-ALL:!SHA1:+VERS-TLS1.2:+VERS-TLS1.3:-SIGN-RSA-SHA1:-SIGN-ECDSA-SHA1";
std::string listenerPriorities();

// Starts one listener on `address` (AF_INET or AF_INET6, port in network order), or
// returns nullptr: a port in use ("In use, try next port"), another family, or a failed start.
// Its accept policy takes only peers of this user (and, for IPv4, only 127.0.0.1).
MHD_Daemon* startListener(unsigned int flags, const sockaddr* address, const char* certificatePem,
                          const char* keyPem, const char* priorities);

// The IPv4 part of the accept policy: only the peer 127.0.0.1.
MHD_Result acceptLoopbackPeer(void* closure, const sockaddr* address, socklen_t length);

// The library's own messages go to the log at level 5, one line each.
void logDaemonMessage(void* closure, const char* format, va_list arguments);
