// Runs when the service unloads this copy of the plug-in (one copy per session): the
// logger and the named-mutex table compiled into the copy are process-lifetime objects in
// a program, but here they would outlive the code that owns them, so they go with it.
#include "TessarollUtil/Logger.h"
#include "platform/NamedMutex.h"

namespace {

__attribute__((destructor)) void releaseCopyState() {
    releaseLogger();  // first: it drops its handle of "Global\VZLog"
    releaseNamedMutexMappings();
}

}  // namespace
