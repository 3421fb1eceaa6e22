// The value store: 16 channels where pages of an open session park a small text,
// encrypted in memory with a key that is new in every store, readable again by pages
// whose origin is in the channel's domain list, with a sliding idle timeout. A value holds
// at most valueSizeLimit bytes and all values together valueStoreSizeLimit, so pages
// cannot pin memory without bound. Thread-safe: one short lock around each call.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TessarollUtil/Secure.h"

inline constexpr int valueChannelCount = 16;
// Bytes of one value as the page sends it: a quarter of the store, well inside a request.
inline constexpr std::size_t valueSizeLimit = 16u * 1024 * 1024;
// Bytes that all channels together keep, counted as stored (encrypted, padding included).
inline constexpr std::size_t valueStoreSizeLimit = 64u * 1024 * 1024;

struct ValueChannel {
    std::optional<std::string> channelName;  // absent: the channel is free
    std::optional<std::string> domainList;   // ";"-separated allow-list entries
    int32_t timeoutMinutes = 0;              // 0: never times out
    int64_t expiry = 0;                      // seconds since 1970; 0 without timeout
    std::vector<unsigned char> encryptedValue;
    uint32_t valueLength = 0;
};

class ValueStore {
public:
    // Seconds since 1970.
    using Clock = std::function<int64_t()>;
    static int64_t wallClock();

    // A fresh key and IV (the first 16 bytes of the IV are used); timeouts run on `clock`.
    explicit ValueStore(Clock clock = wallClock);
    ~ValueStore();
    ValueStore(const ValueStore&) = delete;
    ValueStore& operator=(const ValueStore&) = delete;

    // 0 stored; 61005 a missing argument or a negative timeout; 61019 the store is full (no
    // channel free, or no room for the value's bytes even after the channels that may be
    // reclaimed), or the value is longer than valueSizeLimit; 61011 the channel holds a live
    // value and `origin` is not in its domain list. A refused value changes nothing.
    int set(const std::optional<std::string>& channel, const std::optional<std::string>& domainList,
            int32_t timeoutMinutes, const std::optional<std::string>& value,
            std::string_view origin);

    // The value; an empty text when there is no such channel, the origin is refused or the
    // value has timed out; nullopt when decryption fails.
    std::optional<SecretString> get(const std::optional<std::string>& channel,
                                    const std::optional<std::string>& origin);

    // A copy of channel `index`, for tests.
    ValueChannel channel(int index);

private:
    int findChannel(std::string_view name) const;
    int unusedChannel() const;
    bool reclaimable(int index, int64_t current) const;
    int reclaimTimedOutChannels();
    bool roomFor(std::size_t bytes, int replaced);
    void clear(int index);

    Clock now_;
    std::mutex lock_;
    std::array<ValueChannel, valueChannelCount> channels_;
    std::array<uint8_t, 32> key_{};
    std::array<uint8_t, 32> iv_{};
};
