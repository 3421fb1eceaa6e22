// Stand-in for the monitor or the main program, chosen by the executable's name:
//   ZEFAGPKITessarollMonitor: holds the monitor's alive marker and receives on the
//     monitor's window channel; a Suicide ends it.
//   ZEFAGPKITessarollMain: receives on the main program's channel; its final function
//     logs "Ready to suicide" and ends it.
// Both log through the sandbox's logger ini, so a test reads what they received.
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "TessarollUtil/Log.h"
#include "TessarollUtil/Message.h"
#include "TessarollUtil/System.h"

int main(int, char** argv) {
    std::string self = argv[0];
    self = self.substr(self.rfind('/') + 1);
    const bool monitor = self == "ZEFAGPKITessarollMonitor";
    setLog(monitor ? "MonitorStandIn" : "MainStandIn");
    std::unique_ptr<NamedMutex> marker;
    if (monitor) {
        marker = lockUserMutex(kChannelMonitorWindow, 0);
        if (!marker) {
            writeNormalLog("StandIn marker: ", "Busy");
            return 3;
        }
    } else {
        IPCHandlers.finalFunction = [] {
            writeNormalLog("Ready to suicide", "");
            std::fflush(nullptr);
            ::_exit(0);
        };
    }
    startIPCReceiver(monitor ? kChannelMonitorWindow : kChannelMain);
    writeNormalLog("StandIn ready: ", self);
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}
