#include "platform/Ports.h"

#include <array>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr unsigned kStateEstablished = 0x01;
constexpr unsigned kStateListen = 0x0A;

constexpr std::array<unsigned char, 4> kLoopback4{127, 0, 0, 1};
constexpr std::array<unsigned char, 16> kLoopback6{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

bool parseHex(std::string_view text, uint32_t& value) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return error == std::errc() && end == text.data() + text.size();
}

// "0100007F:DCA2": the kernel prints each 32-bit word of the address as it lies in
// memory, read as a native integer, so copying the parsed words back gives the bytes in
// network order on any host.
template <std::size_t N>
bool isEndpoint(std::string_view field, const std::array<unsigned char, N>& address, uint16_t port) {
    auto colon = field.find(':');
    if (colon != N * 2) return false;
    std::array<unsigned char, N> bytes{};
    for (std::size_t word = 0; word < N / 4; ++word) {
        uint32_t value = 0;
        if (!parseHex(field.substr(word * 8, 8), value)) return false;
        std::memcpy(bytes.data() + word * 4, &value, 4);
    }
    uint32_t parsedPort = 0;
    if (!parseHex(field.substr(colon + 1), parsedPort)) return false;
    return bytes == address && parsedPort == port;
}

}  // namespace

bool socketTableHasLoopbackPort(std::string_view table, uint16_t port, bool ipv6) {
    std::istringstream lines{std::string(table)};
    std::string line;
    std::getline(lines, line);  // column titles
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        if (!(fields >> slot >> local >> remote >> state)) continue;
        uint32_t stateValue = 0;
        if (!parseHex(state, stateValue) || (stateValue != kStateListen && stateValue != kStateEstablished)) continue;
        bool match = ipv6 ? (isEndpoint(local, kLoopback6, port) || isEndpoint(remote, kLoopback6, port))
                          : (isEndpoint(local, kLoopback4, port) || isEndpoint(remote, kLoopback4, port));
        if (match) return true;
    }
    return false;
}

bool isLoopbackPortInUse(uint16_t port, bool ipv6) {
    std::ifstream in(ipv6 ? "/proc/net/tcp6" : "/proc/net/tcp");
    if (!in) return false;
    std::stringstream content;
    content << in.rdbuf();
    return socketTableHasLoopbackPort(content.str(), port, ipv6);
}
