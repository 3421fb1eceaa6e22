#include "TessarollMonitor/MonitorState.h"

#include <atomic>

namespace {

// Never destroyed: detached threads may still use it while the process ends.
MonitorState& processState() {
    static auto* state = new MonitorState;
    return *state;
}

std::atomic<MonitorState*> current{nullptr};

}  // namespace

MonitorState& monitorState() {
    MonitorState* state = current.load();
    return state != nullptr ? *state : processState();
}

MonitorState* useMonitorState(MonitorState* state) {
    return current.exchange(state);
}
