#include "TessarollSession/ValueStore.h"

#include <strings.h>
#include <ctime>
#include <span>

#include "TessarollUtil/AesText.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/Secure.h"
#include "TessarollUtil/System.h"
#include "TessarollUtil/UrlCheck.h"

namespace {

int32_t low32(int64_t value) {
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Whether `origin` passes the channel's domain list. The verdict is made afresh for every
// check, and the installed list emptied after it: a channel without a domain list is
// readable from nowhere. The caller holds the store's lock, which also keeps the allow-list
// check's installed list to one check at a time.
bool originAllowed(const std::optional<std::string>& domainList, std::string_view origin) {
    if (!domainList || domainList->empty()) return false;
    setUnlockURL(std::string_view(*domainList));
    const bool allowed = checkUnlockDomain(origin);
    clearUrlCheckList();
    return allowed;
}

}  // namespace

int64_t ValueStore::wallClock() {
    return static_cast<int64_t>(std::time(nullptr));
}

ValueStore::ValueStore(Clock clock) : now_(std::move(clock)) {
    generateRandomBytes(std::span<unsigned char>(key_));
    generateRandomBytes(std::span<unsigned char>(iv_));
}

ValueStore::~ValueStore() {
    for (int i = 0; i < valueChannelCount; ++i) clear(i);
    secureWipe(key_.data(), key_.size());
    secureWipe(iv_.data(), iv_.size());
}

int ValueStore::findChannel(std::string_view name) const {
    for (int i = 0; i < valueChannelCount; ++i) {
        const ValueChannel& channel = channels_[static_cast<std::size_t>(i)];
        if (channel.channelName && sameName(*channel.channelName, name)) return i;
    }
    return -1;
}

int ValueStore::unusedChannel() const {
    for (int i = 0; i < valueChannelCount; ++i)
        if (!channels_[static_cast<std::size_t>(i)].channelName) return i;
    return -1;
}

// What a full store may take back: channels that have timed out or never time out.
bool ValueStore::reclaimable(int index, int64_t current) const {
    return channels_[static_cast<std::size_t>(index)].expiry < current;
}

// Full: makes room from the channels that may be reclaimed; the highest of them is taken
// (-1 when there is none).
int ValueStore::reclaimTimedOutChannels() {
    const int64_t current = now_();
    int index = -1;
    for (int i = 0; i < valueChannelCount; ++i) {
        if (reclaimable(i, current)) {
            clear(i);
            index = i;
        }
    }
    return index;
}

// Whether `bytes` more fit beside the other channels' values (`replaced`'s own goes), taking
// back the channels that may be reclaimed when that makes room. Nothing changes when not.
bool ValueStore::roomFor(std::size_t bytes, int replaced) {
    std::size_t held = 0, reclaimed = 0;
    const int64_t current = now_();
    for (int i = 0; i < valueChannelCount; ++i) {
        if (i == replaced) continue;
        const std::size_t size = channels_[static_cast<std::size_t>(i)].encryptedValue.size();
        held += size;
        if (reclaimable(i, current)) reclaimed += size;
    }
    if (held + bytes <= valueStoreSizeLimit) return true;
    if (held - reclaimed + bytes > valueStoreSizeLimit) return false;
    for (int i = 0; i < valueChannelCount; ++i)
        if (i != replaced && reclaimable(i, current)) clear(i);
    return true;
}

void ValueStore::clear(int index) {
    ValueChannel& channel = channels_[static_cast<std::size_t>(index)];
    secureWipe(channel.encryptedValue);
    channel = ValueChannel{};
}

ValueChannel ValueStore::channel(int index) {
    std::lock_guard lock(lock_);
    return channels_[static_cast<std::size_t>(index)];
}

int ValueStore::set(const std::optional<std::string>& channel,
                    const std::optional<std::string>& domainList, int32_t timeoutMinutes,
                    const std::optional<std::string>& value, std::string_view origin) {
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
    if (value->size() > valueSizeLimit) {
        writeWarningLogInt("TessarollValue size limit: ", static_cast<int32_t>(valueSizeLimit));
        return 61019;
    }

    // Encrypted before the lock (the key never changes): its size is what the store keeps.
    std::optional<std::vector<uint8_t>> cipher =
        encryptAESCBC(*value, key_, std::span<const uint8_t, 16>(iv_.data(), 16));
    if (!cipher) TESSAROLL_ALLOCATION_FAILURE();
    const std::size_t bytes = cipher ? cipher->size() : 0;

    std::lock_guard lock(lock_);
    int index = findChannel(*channel);
    bool taken = false;
    // Another page's live value is overwritten only by a page its domain list allows.
    if (index >= 0) {
        const ValueChannel& live = channels_[static_cast<std::size_t>(index)];
        if ((live.expiry == 0 || live.expiry >= now_()) &&
            !originAllowed(live.domainList, origin)) {
            writeWarningLog("TessarollValue overwrite refused", std::string(origin));
            return 61011;
        }
    }
    if (!roomFor(bytes, index)) {
        writeWarningLogInt("TessarollValue store size limit: ",
                           static_cast<int32_t>(valueStoreSizeLimit));
        return 61019;
    }
    if (index < 0) {
        index = unusedChannel();
        taken = index >= 0;
    }
    if (index < 0) {
        index = reclaimTimedOutChannels();
        if (index < 0) {
            writeWarningLog("TessarollValue: ", "Full");
            return 61019;
        }
        taken = true;
    }

    ValueChannel& slot = channels_[static_cast<std::size_t>(index)];
    if (taken) slot.channelName = *channel;
    slot.domainList = *domainList;
    slot.timeoutMinutes = timeoutMinutes;
    slot.expiry = timeoutMinutes == 0 ? 0 : now_() + static_cast<int64_t>(timeoutMinutes) * 60;

    secureWipe(slot.encryptedValue);
    slot.encryptedValue = cipher ? std::move(*cipher) : std::vector<unsigned char>();
    slot.valueLength = static_cast<uint32_t>(slot.encryptedValue.size());
    return 0;
}

std::optional<SecretString> ValueStore::get(const std::optional<std::string>& channel,
                                            const std::optional<std::string>& origin) {
    if (!channel) {
        TESSAROLL_NULL_PARAMETER("channel");
        return SecretString();
    }
    if (!origin) {
        TESSAROLL_NULL_PARAMETER("domain");
        return SecretString();
    }
    std::lock_guard lock(lock_);
    const int index = findChannel(*channel);
    if (index < 0) {
        writeWarningLog("TessarollValue no current channel", *channel);
        return SecretString();
    }
    ValueChannel& slot = channels_[static_cast<std::size_t>(index)];

    if (!originAllowed(slot.domainList, *origin)) {
        writeWarningLog("TessarollValue url check fail", *origin);
        return SecretString();
    }

    if (slot.expiry != 0) {
        const int64_t current = now_();
        writeNormalLogInt("TessarollValue current_time: ", low32(current));
        if (current > slot.expiry) {
            writeWarningLog("TessarollValue: ", "Timeout");
            writeWarningLogInt("TessarollValue expired_time: ", low32(slot.expiry));
            return SecretString();
        }
        slot.expiry = current + static_cast<int64_t>(slot.timeoutMinutes) * 60;
        writeNormalLogInt("TessarollValue update expired_time: ", low32(slot.expiry));
    } else {
        writeNormalLog("TessarollValue: ", "No expired time");
    }

    std::optional<SecretString> plain =
        decryptAESCBC(slot.encryptedValue, key_, std::span<const uint8_t, 16>(iv_.data(), 16));
    if (!plain) TESSAROLL_ALLOCATION_FAILURE();
    return plain;
}
