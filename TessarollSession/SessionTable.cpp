#include "TessarollSession/SessionTable.h"

std::array<SessionSlot, sessionSlotCount> sessionSlots;
std::array<uint64_t, sessionSlotCount> sessionAge = [] {
    std::array<uint64_t, sessionSlotCount> a{};
    a.fill(freeSessionAge);
    return a;
}();
uint64_t sessionAgeCounter = 0;
std::string workFolder;
std::string installFolder;

void initSessionTable(std::string_view, std::string_view) {}
void markAllSessionAgesFree() { sessionAge.fill(freeSessionAge); }
uint64_t takeSessionAge(int index) { sessionAge[index] = sessionAgeCounter; return sessionAgeCounter++; }
void releaseSessionSlot(int) {}
int findOldestSessionSlot() { return -1; }
std::string sessionCopyPath(int, std::string_view) { return {}; }
std::string versionMarkerPath() { return {}; }
