#include "Tessaroll/Listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include "Tessaroll/RequestHandler.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/Logger.h"
#include "TessarollUtil/System.h"

std::string listenerPriorities() {
    std::string priorities = "NORMAL:!VERS-TLS-ALL:!SHA1";
    priorities += ":+VERS-TLS1.2";
    priorities += ":+VERS-TLS1.3";
    return priorities;
}

MHD_Daemon* startListener(unsigned int flags, const sockaddr* address, const char* certificatePem,
                          const char* keyPem, const char* priorities) {
    const bool ipv6 = address->sa_family == AF_INET6;
    if (address->sa_family != AF_INET && !ipv6) {
        writeErrorLogInt("Unknow address family: ", address->sa_family);
        return nullptr;
    }
    const uint16_t port = ntohs(ipv6 ? reinterpret_cast<const sockaddr_in6*>(address)->sin6_port
                                     : reinterpret_cast<const sockaddr_in*>(address)->sin_port);
    const std::string state = "Detect port " + std::to_string(port) + " state: ";
    if (isPortInUse(port, ipv6)) {
        writeNormalLog(state, "In use, try next port");
        return nullptr;
    }
    writeNormalLog(state, "Free");

    MHD_Daemon* daemon = MHD_start_daemon(
        flags, port, ipv6 ? nullptr : acceptLoopbackPeer, nullptr, handleRequest, nullptr,
        MHD_OPTION_EXTERNAL_LOGGER, logDaemonMessage, nullptr,
        MHD_OPTION_SOCK_ADDR, address,
        MHD_OPTION_HTTPS_MEM_CERT, certificatePem,
        MHD_OPTION_HTTPS_MEM_KEY, keyPem,
        MHD_OPTION_HTTPS_PRIORITIES, priorities,
        MHD_OPTION_NOTIFY_COMPLETED, requestCompleted, nullptr,
        MHD_OPTION_END);

    const std::string launch = std::string("ZEFAGPKITessaroll") + " at " +
                               (ipv6 ? "[::1]:" : "127.0.0.1:") + std::to_string(port) +
                               " launch state: ";
    if (daemon)
        writeNormalLog(launch, "Success");
    else
        writeWarningLog(launch, "Fail");
    return daemon;
}

MHD_Result acceptLoopbackPeer(void*, const sockaddr* address, socklen_t length) {
    if (address && address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        const auto* peer = reinterpret_cast<const sockaddr_in*>(address);
        const auto* bytes = reinterpret_cast<const unsigned char*>(&peer->sin_addr.s_addr);
        if (bytes[0] == 127 && bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 1) return MHD_YES;
        writeWarningLog("Illegal connection ip: ", std::to_string(bytes[0]) + "." +
                                                       std::to_string(bytes[1]) + "." +
                                                       std::to_string(bytes[2]) + "." +
                                                       std::to_string(bytes[3]));
        return MHD_NO;
    }
    writeWarningLog("Illegal connection ip: ", "");
    return MHD_NO;
}

void logDaemonMessage(void*, const char* format, va_list arguments) {
    if (currentLogLevel() < 5) return;
    LogMutexLock lock;
    writeLogLine(5, format, arguments);
}
