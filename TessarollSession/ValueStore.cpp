#include "TessarollSession/ValueStore.h"

#include <ctime>
#include <span>
#include <strings.h>

#include "TessarollUtil/AesText.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/Secure.h"
#include "TessarollUtil/System.h"
#include "TessarollUtil/UrlCheck.h"

std::array<ValueChannel, valueChannelCount> valueChannels;

namespace {

// Made new in every process, so stored values cannot outlive it.
std::array<uint8_t, 32> valueStoreKey{};
std::array<uint8_t, 32> valueStoreIV{};  // the first 16 bytes are the CBC IV

int64_t now() { return static_cast<int64_t>(std::time(nullptr)); }

int32_t low32(int64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

int findChannel(std::string_view name) {
    for (int i = 0; i < valueChannelCount; ++i) {
        const ValueChannel& channel = valueChannels[static_cast<std::size_t>(i)];
        if (channel.channelName && sameName(*channel.channelName, name)) return i;
    }
    return -1;
}

std::span<const uint8_t, 16> storeIV() { return std::span<const uint8_t, 16>(valueStoreIV.data(), 16); }

// Whether `origin` passes the channel's domain list. The verdict is made afresh for every
// read: a channel without a domain list is readable from nowhere.
bool originAllowed(const std::optional<std::string>& domainList, const std::string& origin) {
    if (!domainList || domainList->empty()) return false;
    setUnlockURL(std::string_view(*domainList));
    return checkUnlockDomain(std::string_view(origin));
}

}  // namespace

void initValueStoreSecrets() {
    generateRandomBytes(std::span<unsigned char>(valueStoreKey));
    generateRandomBytes(std::span<unsigned char>(valueStoreIV));
}

void clearValueChannel(int index) {
    if (index < 0 || index >= valueChannelCount) return;
    ValueChannel& channel = valueChannels[static_cast<std::size_t>(index)];
    secureWipe(channel.encryptedValue);
    channel = ValueChannel{};
}

int setChannelValue(const std::optional<std::string>& channel, const std::optional<std::string>& domainList,
                    int32_t timeoutMinutes, const std::optional<std::string>& value) {
    if (!channel) {
        TESSAROLL_NULL_PARAMETER("channel");
        return 61005;
    }
    if (!domainList) {
        TESSAROLL_NULL_PARAMETER("domain_list");
        return 61005;
    }
    if (!value) {
        TESSAROLL_NULL_PARAMETER("value");
        return 61005;
    }
    if (timeoutMinutes < 0) return 61005;

    int index = findChannel(*channel);
    bool taken = false;
    if (index < 0) {
        for (int i = 0; i < valueChannelCount && index < 0; ++i)
            if (!valueChannels[static_cast<std::size_t>(i)].channelName) index = i;
        taken = index >= 0;
    }
    if (index < 0) {
        // Full: make room from channels that have timed out or never time out; the
        // highest of them is taken.
        const int64_t current = now();
        for (int i = 0; i < valueChannelCount; ++i) {
            if (valueChannels[static_cast<std::size_t>(i)].expiry < current) {
                clearValueChannel(i);
                index = i;
            }
        }
        if (index < 0) {
            writeWarningLog("TessarollValue: ", "Full");
            return 61019;
        }
        taken = true;
    }

    ValueChannel& slot = valueChannels[static_cast<std::size_t>(index)];
    if (taken) slot.channelName = *channel;
    slot.domainList = *domainList;
    slot.timeoutMinutes = timeoutMinutes;
    slot.expiry = timeoutMinutes == 0 ? 0 : now() + static_cast<int64_t>(timeoutMinutes) * 60;

    secureWipe(slot.encryptedValue);
    slot.valueLength = 0;
    std::optional<std::vector<uint8_t>> cipher = encryptAESCBC(*value, valueStoreKey, storeIV());
    if (!cipher) {
        TESSAROLL_ALLOCATION_FAILURE();
    } else {
        slot.encryptedValue = std::move(*cipher);
        slot.valueLength = static_cast<uint32_t>(slot.encryptedValue.size());
    }
    return 0;
}

std::optional<std::string> getChannelValue(const std::optional<std::string>& channel,
                                           const std::optional<std::string>& origin) {
    if (!channel) {
        TESSAROLL_NULL_PARAMETER("channel");
        return std::string();
    }
    if (!origin) {
        TESSAROLL_NULL_PARAMETER("domain");
        return std::string();
    }
    const int index = findChannel(*channel);
    if (index < 0) {
        writeWarningLog("TessarollValue no current channel", *channel);
        return std::string();
    }
    ValueChannel& slot = valueChannels[static_cast<std::size_t>(index)];

    const bool allowed = originAllowed(slot.domainList, *origin);
    clearUrlCheckList();
    if (!allowed) {
        writeWarningLog("TessarollValue url check fail", *origin);
        return std::string();
    }

    if (slot.expiry != 0) {
        const int64_t current = now();
        writeNormalLogInt("TessarollValue current_time: ", low32(current));
        if (current > slot.expiry) {
            writeWarningLog("TessarollValue: ", "Timeout");
            writeWarningLogInt("TessarollValue expired_time: ", low32(slot.expiry));
            return std::string();
        }
        slot.expiry = current + static_cast<int64_t>(slot.timeoutMinutes) * 60;
        writeNormalLogInt("TessarollValue update expired_time: ", low32(slot.expiry));
    } else {
        writeNormalLog("TessarollValue: ", "No expired time");
    }

    std::optional<SecretString> plain = decryptAESCBC(slot.encryptedValue, valueStoreKey, storeIV());
    if (!plain) {
        TESSAROLL_ALLOCATION_FAILURE();
        return std::nullopt;
    }
    return std::string(*plain);
}
