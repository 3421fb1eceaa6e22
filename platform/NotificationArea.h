// The desktop's notification area, as far as the monitor deals with it beyond its own icon.
#pragma once

// Clears icons that ended programs left behind in the notification area.
void clearDeadTrayIcons();
