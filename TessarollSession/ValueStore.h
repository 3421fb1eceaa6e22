// The value store: 16 channels where pages of an open session park a small text,
// encrypted in memory with a key that is new in every process, readable again by pages
// whose origin is in the channel's domain list, with a sliding idle timeout.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int valueChannelCount = 16;

struct ValueChannel {
    std::optional<std::string> channelName;  // absent: the channel is free
    std::optional<std::string> domainList;   // ";"-separated allow-list entries
    int32_t timeoutMinutes = 0;              // 0: never times out
    int64_t expiry = 0;                      // seconds since 1970; 0 without timeout
    std::vector<unsigned char> encryptedValue;
    uint32_t valueLength = 0;
};

extern std::array<ValueChannel, valueChannelCount> valueChannels;

// Made fresh by initSessionTable (initValueStoreSecrets); the first 16 bytes of the IV are used.
void initValueStoreSecrets();

void clearValueChannel(int index);

// 0 stored; 61005 a missing argument or a negative timeout; 61019 the store is full.
int setChannelValue(const std::optional<std::string>& channel,
                    const std::optional<std::string>& domainList, int32_t timeoutMinutes,
                    const std::optional<std::string>& value);

// The value; an empty text when there is no such channel, the origin is refused or the
// value has timed out; nullopt when decryption fails.
std::optional<std::string> getChannelValue(const std::optional<std::string>& channel,
                                           const std::optional<std::string>& origin);
