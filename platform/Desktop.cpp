#include "platform/Desktop.h"

// Not connected to a display yet: everything answers "nothing".
bool desktopAvailable() { return false; }
bool isKeyDown(int) { return false; }
std::bitset<256> pressedVirtualKeys() { return {}; }
std::vector<DesktopWindow> listTopLevelWindows() { return {}; }
uint32_t windowProcessId(DesktopWindow) { return 0; }
std::string windowTitle(DesktopWindow, std::size_t) { return {}; }
bool setWindowTopmost(DesktopWindow) { return false; }
bool isWindowTopmost(DesktopWindow) { return false; }
void resetDesktopForTests() {}
