// Build-time tool: writes the certificates as C++ headers. The server keys are stored
// XOR-masked with a pad drawn fresh for every build, so no key text appears in the program.
// usage: EmbedCredentials <out> <ec root> <rsa root> <ec cert> <ec key> <rsa cert> <rsa key>
#include <sys/random.h>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::string readAll(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(std::string("cannot read ") + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A raw string literal is enough: PEM holds no ")pem\"".
std::string literal(const std::string& name, const std::string& text) {
    return "inline constexpr char " + name + "[] = R\"pem(" + text + ")pem\";\n";
}

std::string byteArray(const std::string& name, const std::vector<unsigned char>& bytes) {
    std::string out = "inline constexpr unsigned char " + name + "[] = {";
    char hex[16];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(hex, sizeof hex, "%s0x%02x,", i % 16 ? " " : "\n    ", bytes[i]);
        out += hex;
    }
    return out + "\n};\n";
}

std::string maskedKey(const std::string& prefix, std::string key) {
    std::vector<unsigned char> pad(key.size()), masked(key.size());
    std::size_t filled = 0;
    while (filled < pad.size()) {
        ssize_t n = getrandom(pad.data() + filled, pad.size() - filled, 0);
        if (n <= 0) throw std::runtime_error("no random bytes");
        filled += static_cast<std::size_t>(n);
    }
    for (std::size_t i = 0; i < key.size(); ++i)
        masked[i] = static_cast<unsigned char>(key[i]) ^ pad[i];
    std::fill(key.begin(), key.end(), '\0');
    return byteArray(prefix + "KeyMasked", masked) + byteArray(prefix + "KeyPad", pad);
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 8) {
        std::cerr << "usage: EmbedCredentials <out> <ec root> <rsa root> <ec cert> <ec key> <rsa "
                     "cert> <rsa key>\n";
        return 2;
    }
    try {
        const std::string out = argv[1];
        const std::string head =
            "// Generated at build time by certs/generate.sh. Do not edit, do not commit.\n#pragma "
            "once\n\n";
        writeFile(out + "/RootCertificates.h",
                  head + "// The roots that issue the service's server certificates.\n" +
                      literal("eccRootCertificate", readAll(argv[2])) +
                      literal("rsaRootCertificate", readAll(argv[3])));
        writeFile(out + "/ServerCredentials.h",
                  head +
                      "// Server certificates for localhost and their keys, masked: key = masked ^ "
                      "pad.\n" +
                      literal("ecServerCertificate", readAll(argv[4])) +
                      maskedKey("ecServer", readAll(argv[5])) +
                      literal("rsaServerCertificate", readAll(argv[6])) +
                      maskedKey("rsaServer", readAll(argv[7])));
    } catch (const std::exception& e) {
        std::cerr << "EmbedCredentials: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
