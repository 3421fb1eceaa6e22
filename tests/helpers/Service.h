// Runs the staged main program for a test inside a Sandbox: logging switched on into the
// sandbox, optionally from a private install folder with a chosen adapter plug-in, waits
// until it listens, and stops it the way a desktop session does (SIGTERM).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "helpers/ChildProcess.h"
#include "helpers/Sandbox.h"

namespace testing_support {

inline constexpr uint16_t servicePorts[3] = {56482, 56582, 56682};

struct ServiceOptions {
    std::vector<std::string> arguments = {"0"};  // the start count
    // When set, the program runs from "<sandbox>/install" with this library as its adapter
    // ("ZEFAGPKI/ZEFAVZDediGPKICryptATLAdapter.so"); else straight from the stage folder.
    std::optional<std::filesystem::path> adapter;
    bool logging = true;  // writes the logger ini into the sandbox's Windows folder
    std::map<std::string, std::string> environment;
};

class Service {
public:
    Service(const Sandbox& sandbox, ServiceOptions options = {});
    ~Service();  // stops the program if it still runs
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // True once every listed port accepts TCP connections on 127.0.0.1 and [::1]. A first
    // start makes the user's keys, which on a machine busy with other work takes its time.
    bool waitListening(const std::vector<uint16_t>& ports = {servicePorts, servicePorts + 3},
                       std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // True once `text` appears in the log.
    bool waitForLog(const std::string& text,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // SIGTERM, then the exit code (nothing when it did not end in time).
    std::optional<int> stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    ChildProcess& process() { return *process_; }
    // Everything logged so far (all files of the sandbox's log folder, in name order).
    std::string log() const;
    // The main program's data folder: "<XDG_DATA_HOME>/ZEFAGPKITessarollMain".
    std::filesystem::path workFolder() const;
    std::filesystem::path installFolder() const { return installFolder_; }

    static std::filesystem::path stagedProgram();
    // The build's roots (PEM), for verifying the service or trusting it in a browser.
    static std::filesystem::path rootCertificate(bool rsa = false);

private:
    const Sandbox& sandbox_;
    std::filesystem::path installFolder_;
    std::filesystem::path logFolder_;
    std::unique_ptr<ChildProcess> process_;
};

// True when a TCP connection to address:port succeeds right now.
bool canConnect(const std::string& address, uint16_t port);

}  // namespace testing_support
