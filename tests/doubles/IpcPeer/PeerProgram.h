// Runs the test peer (tests/doubles/IpcPeer) as a receiver of instructions in a process
// of its own, with a folder where it leaves a marker file per handler that ran.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "helpers/ChildProcess.h"
#include "platform/Channel.h"

namespace testing_support {

inline std::filesystem::path peerProgram() {
    return std::filesystem::path(TESSAROLL_BINARY_DIR) / "tests/doubles/IpcPeer/tessaroll_ipc_peer";
}

class PeerReceiver {
public:
    // `program` defaults to the peer itself; tests that end programs by name run a copy.
    PeerReceiver(const std::string& channel, const std::string& markerName,
                 std::vector<std::string> options, std::map<std::string, std::string> env = {},
                 std::filesystem::path program = peerProgram())
        : channel_(channel) {
        const char* temp = std::getenv("TMPDIR");
        markers_ = std::filesystem::path(temp ? temp : "/tmp") / markerName;
        std::filesystem::create_directories(markers_);
        std::vector<std::string> args{"receive", channel, markers_.string()};
        args.insert(args.end(), options.begin(), options.end());
        process_ = std::make_unique<ChildProcess>(program, args, env);
    }

    // The peer has started its receiver and its channel answers.
    bool waitReady() {
        return waitUntil([this] { return marked("ready") && findChannel(channel_).has_value(); },
                         std::chrono::seconds(10));
    }
    bool marked(const std::string& name) const { return std::filesystem::exists(markers_ / name); }
    bool waitMarked(const std::string& name,
                    std::chrono::milliseconds timeout = std::chrono::seconds(3)) {
        return waitUntil([&] { return marked(name); }, timeout);
    }
    ChildProcess& process() { return *process_; }

private:
    std::string channel_;
    std::filesystem::path markers_;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace testing_support
