#include "TessarollSession/TopmostWatcher.h"

// The window watcher itself is not built yet: until it is, the adapter call runs
// without it and these calls keep their place around it.
void startTopmostWatcher(uint32_t, bool) {}
void stopTopmostWatcher() {}
