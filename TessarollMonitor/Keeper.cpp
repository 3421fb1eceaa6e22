#include "TessarollMonitor/Keeper.h"
