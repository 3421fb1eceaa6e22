// Test peer. Usage:
//   tessaroll_ipc_peer receive <channel> <marker folder> [final|ignore|lockflag|exit]...
//     Starts the instruction receiver on <channel> and writes one marker file per handler
//     that runs ("final", "start", "stop", "restart", "lock-1"/"lock-0") into the folder.
//     final:    registers a final function that takes 300 ms, marks, and ends the peer.
//     ignore:   registers a final function that does nothing (the peer stays).
//     lockflag: registers a lock flag and marks its changes.
//     exit:     registers no final function (a Suicide ends the process directly).
//   tessaroll_ipc_peer crash <dump folder> <prefix>
//     Installs the crash handler with a keep count of 3 and dies of SIGSEGV.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "TessarollUtil/Log.h"
#include "TessarollUtil/Message.h"
#include "core/Forensic.h"

namespace {

std::string markerFolder;
std::atomic<bool> done{false};
std::atomic<uint8_t> lockFlag{0};

void mark(const std::string& name) {
    std::ofstream(markerFolder + "/" + name) << "1";
}

int receive(int argc, char** argv) {
    const char* channel = argv[2];
    markerFolder = argv[3];
    bool watchLock = false;
    IPCHandlers.startFunction = [] { mark("start"); };
    IPCHandlers.stopFunction = [] { mark("stop"); };
    IPCHandlers.restartFunction = [] { mark("restart"); };
    for (int i = 4; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "final") {
            IPCHandlers.finalFunction = [] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                mark("final");
                done = true;
            };
        } else if (option == "ignore") {
            IPCHandlers.finalFunction = [] { mark("ignored"); };
        } else if (option == "lockflag") {
            IPCHandlers.lockFlag = &lockFlag;
            watchLock = true;
        }
    }
    setLog("IpcPeer");
    startIPCReceiver(channel);
    mark("ready");
    uint8_t seen = 0;
    while (!done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (watchLock && lockFlag.load() != seen) {
            seen = lockFlag.load();
            mark("lock-" + std::to_string(seen));
        }
    }
    return 0;
}

int crash(char** argv) {
    using namespace VZ::OS::Win32::Forensic;
    auto& handler = getForensicInstance();
    handler.setFilterInstaller(std::make_unique<Detail::ExceptionHandler::UEF>());
    handler.filterInstaller()->call();
    handler.add(std::make_unique<CrashDumpCallBack>(3, argv[2], argv[3]));
    // An unmapped address that is not null (a null store would be caught before the
    // fault by the undefined-behaviour checks); volatile keeps the store.
    volatile int* volatile nowhere = reinterpret_cast<volatile int*>(uintptr_t{16});
    *nowhere = 1;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "receive") == 0) return receive(argc, argv);
    if (argc >= 4 && std::strcmp(argv[1], "crash") == 0) return crash(argv);
    std::fprintf(
        stderr, "usage: %s receive <channel> <marker folder> [options] | crash <folder> <prefix>\n",
        argv[0]);
    return 2;
}
