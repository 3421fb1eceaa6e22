// One instruction's round trip through a channel: the sender signs it and sends it, the
// receiver verifies it and runs the handler, and the sender has the acknowledgement.
// The lock-mode hold that follows every real send (a fixed 100 ms) is left out. The
// reference is the bare exchange on a Unix socket: connect, the text, one byte back.
// The runtime folder is made longer than a socket address can hold, as some desktops have it.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "BenchRows.h"
#include "TessarollUtil/Message.h"
#include "helpers/Sandbox.h"
#include "platform/Channel.h"

namespace {

// Points XDG_RUNTIME_DIR at a folder whose socket paths pass the 108 characters.
void useLongRuntimeFolder(const testing_support::Sandbox& sandbox) {
    std::string folder = (sandbox.root() / std::string(110, 'r')).string();
    ::mkdir(folder.c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
}

void InstructionRoundTrip(benchmark::State& state) {
    testing_support::Sandbox sandbox;
    useLongRuntimeFolder(sandbox);
    auto receiver = ChannelReceiver::open(kChannelMain);
    if (!receiver) {
        state.SkipWithError("cannot open the channel");
        return;
    }
    std::atomic<long> handled{0};
    std::atomic<bool> stop{false};
    IPCHandlers.startFunction = [&handled] { ++handled; };
    std::thread server([&] {
        auto onText = [](const std::string& text) { ipcWindowProc(kWmCopyData, 0, text.c_str()); };
        while (!stop) {
            if (!receiver->serveOne(onText)) std::this_thread::yield();
        }
    });

    for (auto _ : state) {
        auto message = createMessage(kSenderWorker, kChannelMain, kInstructionStart);
        auto connection = findChannel(kChannelMain);
        if (!message || !connection || !connection->send(*messageWireText(*message))) {
            state.SkipWithError("send failed");
            break;
        }
    }
    stop = true;
    server.join();
    IPCHandlers.startFunction = nullptr;
    if (handled != static_cast<long>(state.iterations()))
        state.SkipWithError("a handler did not run");
}
BENCHMARK(InstructionRoundTrip)->UseRealTime();

void BareSocketRoundTrip(benchmark::State& state) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const char name[] = "tessaroll-bench-bare";
    std::memcpy(addr.sun_path + 1, name, sizeof name - 1);
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof name);
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), size) != 0 ||
        ::listen(listener, 16) != 0) {
        state.SkipWithError("cannot listen");
        ::close(listener);
        return;
    }
    std::atomic<bool> stop{false};
    std::thread server([&] {
        char buffer[4096];
        while (!stop) {
            int fd = ::accept(listener, nullptr, nullptr);
            if (fd < 0) {
                std::this_thread::yield();
                continue;
            }
            while (::recv(fd, buffer, sizeof buffer, 0) > 0) {}
            char ack = 1;
            ::send(fd, &ack, 1, MSG_NOSIGNAL);
            ::close(fd);
        }
    });
    const std::string text(300, 'x');  // about an instruction's length
    for (auto _ : state) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        char ack = 0;
        bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), size) == 0 &&
                  ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) ==
                      static_cast<ssize_t>(text.size()) &&
                  ::shutdown(fd, SHUT_WR) == 0 && ::recv(fd, &ack, 1, 0) == 1;
        ::close(fd);
        if (!ok) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    stop = true;
    server.join();
    ::close(listener);
}
BENCHMARK(BareSocketRoundTrip)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    return bench_rows::runAndPrintRows(
        argc, argv,
        {{"instruction round trip, long runtime folder (vs bare Unix socket exchange)",
          "InstructionRoundTrip", "BareSocketRoundTrip"}});
}
