// One instruction's round trip through a channel: the sender signs it and sends it, the
// receiver verifies it and runs the handler, and the sender has the acknowledgement.
// The lock-mode hold that follows every real send (a fixed 100 ms) is left out.
#include <atomic>
#include <benchmark/benchmark.h>
#include <thread>

#include "TessarollUtil/Message.h"
#include "helpers/Sandbox.h"
#include "platform/Channel.h"

namespace {

void InstructionRoundTrip(benchmark::State& state) {
    testing_support::Sandbox sandbox;
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
    if (handled != static_cast<long>(state.iterations())) state.SkipWithError("a handler did not run");
}
BENCHMARK(InstructionRoundTrip)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
