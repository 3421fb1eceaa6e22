#include "TessarollSession/ValueStore.h"

std::array<ValueChannel, valueChannelCount> valueChannels;

void initValueStoreSecrets() {}
void clearValueChannel(int index) { valueChannels[index] = ValueChannel{}; }
int setChannelValue(const std::optional<std::string>&, const std::optional<std::string>&, int32_t,
                    const std::optional<std::string>&) { return 61019; }
std::optional<std::string> getChannelValue(const std::optional<std::string>&,
                                           const std::optional<std::string>&) { return std::string(); }
