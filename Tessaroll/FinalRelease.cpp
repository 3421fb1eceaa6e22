#include "Tessaroll/ServiceState.h"
#include "TessarollUtil/Log.h"

void ServiceState::finalRelease() {
    std::call_once(released_, [this] {
        writeNormalLog("[TessarollFinal] ", "Start release all adapters");
        sessions_.releaseAll();
        writeNormalLog("[TessarollFinal] ", "Release adapters success");
        writeNormalLog("[TessarollFinal] ", "Ready to suicide");
        exitFlag_ = true;
    });
}
