#include "platform/Ports.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace {

constexpr unsigned kStateEstablished = 0x01;
constexpr unsigned kStateListen = 0x0A;

constexpr std::array<unsigned char, 16> kLoopback4{127, 0, 0, 1};
constexpr std::array<unsigned char, 16> kLoopback6{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

template <typename Number>
bool parseNumber(std::string_view text, Number& value, int base) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

// "0100007F:DCA2": the kernel prints each 32-bit word of the address as it lies in
// memory, read as a native integer, so copying the parsed words back gives the bytes in
// network order on any host.
bool parseEndpoint(std::string_view field, std::size_t addressBytes, SocketEndpoint& endpoint) {
    if (field.size() <= addressBytes * 2 || field[addressBytes * 2] != ':') return false;
    endpoint = {};
    for (std::size_t word = 0; word < addressBytes / 4; ++word) {
        uint32_t value = 0;
        if (!parseNumber(field.substr(word * 8, 8), value, 16)) return false;
        std::memcpy(endpoint.address.data() + word * 4, &value, 4);
    }
    return parseNumber(field.substr(addressBytes * 2 + 1), endpoint.port, 16);
}

// The next field separated by blanks, or an empty view at the end of the line.
std::string_view nextField(std::string_view& line) {
    std::size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    std::size_t end = line.find(' ', start);
    if (end == std::string_view::npos) end = line.size();
    std::string_view field = line.substr(start, end - start);
    line.remove_prefix(end);
    return field;
}

bool parseRow(std::string_view line, std::size_t addressBytes, SocketRow& row) {
    nextField(line);  // slot
    if (!parseEndpoint(nextField(line), addressBytes, row.local)) return false;
    if (!parseEndpoint(nextField(line), addressBytes, row.remote)) return false;
    if (!parseNumber(nextField(line), row.state, 16)) return false;
    for (int skipped = 0; skipped < 3; ++skipped) nextField(line);  // queues, timer, retransmits
    uint32_t owner = 0;
    row.owner = parseNumber(nextField(line), owner, 10) ? std::optional(owner) : std::nullopt;
    return true;
}

}  // namespace

bool findSocketRow(std::string_view table, bool ipv6,
                   const std::function<bool(const SocketRow&)>& visit) {
    const std::size_t addressBytes = ipv6 ? 16 : 4;
    std::size_t lineEnd = table.find('\n');  // column titles
    SocketRow row;
    while (lineEnd != std::string_view::npos) {
        table.remove_prefix(lineEnd + 1);
        lineEnd = table.find('\n');
        if (parseRow(table.substr(0, lineEnd), addressBytes, row) && visit(row)) return true;
    }
    return false;
}

std::string readSocketTable(bool ipv6) {
    const int fd = open(ipv6 ? "/proc/net/tcp6" : "/proc/net/tcp", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::string text;
    std::size_t used = 0;
    for (;;) {
        if (text.size() - used < 16384) text.resize(used + 65536);
        const ssize_t got = read(fd, text.data() + used, text.size() - used);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        used += static_cast<std::size_t>(got);
    }
    close(fd);
    text.resize(used);
    return text;
}

bool socketTableHasLoopbackPort(std::string_view table, uint16_t port, bool ipv6) {
    const SocketEndpoint loopback{ipv6 ? kLoopback6 : kLoopback4, port};
    return findSocketRow(table, ipv6, [&](const SocketRow& row) {
        return (row.state == kStateListen || row.state == kStateEstablished) &&
               (row.local == loopback || row.remote == loopback);
    });
}

bool isLoopbackPortInUse(uint16_t port, bool ipv6) {
    return socketTableHasLoopbackPort(readSocketTable(ipv6), port, ipv6);
}
