#include <filesystem>
#include <system_error>

#include "Tessaroll/ServiceState.h"
#include "TessarollSession/SessionTable.h"
#include "TessarollUtil/Log.h"

std::atomic<bool> exitFlag{false};
std::atomic<bool> logActive{false};

std::mutex& serviceLock() {
    static std::mutex lock;
    return lock;
}

namespace {

// The adapter copies that lie directly in the work folder, hidden ones included; the
// session folders below it are emptied by releaseSessionSlot. Errors are ignored: a file
// that cannot be deleted now is deleted at the next start.
void deleteAdapterCopies(const std::filesystem::path& folder) {
    std::error_code error;
    if (folder.empty()) return;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (entry.path().extension() == ".so" && entry.is_regular_file(error))
            std::filesystem::remove(entry.path(), error);
    }
}

}  // namespace

void finalRelease() {
    std::lock_guard lock(serviceLock());
    writeNormalLog("[TessarollFinal] ", "Start release all adapters");
    // Bounded: a slot that does not free itself must not keep the service from ending.
    for (int round = 0; round < sessionSlotCount; ++round) {
        const int index = findOldestSessionSlot();
        if (index == -1) break;
        writeNormalLogInt("Release session index: ", index);
        releaseSessionSlot(index);
        sessionAge[index] = freeSessionAge;
    }
    deleteAdapterCopies(workFolder);
    writeNormalLog("[TessarollFinal] ", "Release adapters success");
    writeNormalLog("[TessarollFinal] ", "Ready to suicide");
    exitFlag = true;
}
