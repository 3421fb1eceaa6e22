#include "helpers/Service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>

namespace fs = std::filesystem;

namespace testing_support {

bool canConnect(const std::string& address, uint16_t port) {
    const bool ipv6 = address.find(':') != std::string::npos;
    int s = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    int rc;
    if (ipv6) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        inet_pton(AF_INET6, address.c_str(), &a.sin6_addr);
        rc = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, address.c_str(), &a.sin_addr);
        rc = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    ::close(s);
    return rc == 0;
}

fs::path Service::stagedProgram() {
    return fs::path(TESSAROLL_STAGE_DIR) / "ZEFAGPKITessarollMain";
}

fs::path Service::rootCertificate(bool rsa) {
    return fs::path(TESSAROLL_BINARY_DIR) / "generated/certs" /
           (rsa ? "rsa_root.pem" : "ec_root.pem");
}

Service::Service(const Sandbox& sandbox, ServiceOptions options) : sandbox_(sandbox) {
    logFolder_ = sandbox.tempDir() / "log";
    fs::create_directories(logFolder_);
    if (options.logging) {
        writeFile(sandbox.windowsDir() / "ZEFAGPKITessaroll.ini",
                  "[ZEFAGPKITessaroll]\nLog File=" + (logFolder_ / "service.log").string() +
                      "\nLog MaxSize=500000000\nLog Level=5\n");
    }
    fs::path program = stagedProgram();
    installFolder_ = program.parent_path();
    if (options.adapter) {
        installFolder_ = sandbox.root() / "install";
        fs::create_directories(installFolder_ / "ZEFAGPKI");
        fs::copy_file(program, installFolder_ / program.filename(),
                      fs::copy_options::overwrite_existing);
        fs::copy_file(*options.adapter,
                      installFolder_ / "ZEFAGPKI/ZEFAVZDediGPKICryptATLAdapter.so",
                      fs::copy_options::overwrite_existing);
        program = installFolder_ / program.filename();
    }
    std::map<std::string, std::string> env = sandbox.environment();
    for (const auto& [k, v] : options.environment) env[k] = v;
    process_ = std::make_unique<ChildProcess>(program, options.arguments, env);
}

Service::~Service() {
    if (process_ && process_->running()) stop(std::chrono::seconds(5));
}

bool Service::waitListening(const std::vector<uint16_t>& ports, std::chrono::milliseconds timeout) {
    // A program that has ended will not listen: no need to wait out the bound.
    const bool settled = waitUntil(
        [&] {
            if (!process_->running()) return true;
            return std::all_of(ports.begin(), ports.end(), [](uint16_t port) {
                return canConnect("127.0.0.1", port) && canConnect("::1", port);
            });
        },
        timeout);
    return settled && process_->running();
}

bool Service::waitForLog(const std::string& text, std::chrono::milliseconds timeout) {
    return waitUntil([&] { return log().find(text) != std::string::npos; }, timeout);
}

std::optional<int> Service::stop(std::chrono::milliseconds timeout) {
    if (process_->running()) process_->signal(SIGTERM);
    auto code = process_->wait(timeout);
    if (!code) {
        process_->kill();
        process_->wait(std::chrono::seconds(5));
    }
    return code;
}

std::string Service::log() const {
    std::vector<fs::path> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(logFolder_, error))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::string text;
    for (const auto& file : files) text += readFile(file);
    return text;
}

fs::path Service::workFolder() const {
    return sandbox_.dataHome() / "ZEFAGPKITessarollMain";
}

}  // namespace testing_support
