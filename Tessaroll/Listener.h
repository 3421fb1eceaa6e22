// The loopback HTTPS listeners and the listener callbacks that are not about requests.
#pragma once

#include <array>
#include <cstdarg>
#include <string>
#include <sys/socket.h>
#include <microhttpd.h>

inline constexpr int listenerPortCount = 3;
// Suspend and resume let a long adapter call run on a worker while the listener's one
// polling thread serves other pages.
inline constexpr unsigned int ipv4ListenerFlags =
    MHD_USE_ERROR_LOG | MHD_USE_TLS | MHD_USE_INTERNAL_POLLING_THREAD | MHD_ALLOW_SUSPEND_RESUME;  // 0x240b
inline constexpr unsigned int ipv6ListenerFlags = ipv4ListenerFlags | MHD_USE_IPv6;  // 0x241b
static_assert(ipv4ListenerFlags == 0x240b && ipv6ListenerFlags == 0x241b);

// TLS 1.2 and 1.3 only, no SHA-1.
std::string listenerPriorities();

// Starts one listener on `address` (AF_INET or AF_INET6, port in network order), or
// returns nullptr: a port in use ("In use, try next port"), another family, or a failed start.
MHD_Daemon* startListener(unsigned int flags, const sockaddr* address, const char* certificatePem,
                          const char* keyPem, const char* priorities);

// Accept policy of the IPv4 listeners: only the peer 127.0.0.1.
MHD_Result acceptLoopbackPeer(void* closure, const sockaddr* address, socklen_t length);

// The library's own messages go to the log at level 5.
void logDaemonMessage(void* closure, const char* format, va_list arguments);
