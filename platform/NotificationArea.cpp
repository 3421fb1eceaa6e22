#include "platform/NotificationArea.h"

// Nothing to do: a tray icon here is owned by its process's connection to the desktop's
// notification host, which drops it when that process ends.
void clearDeadTrayIcons() {}
