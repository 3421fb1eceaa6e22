// The version bitmask the programs branch on. On this system it holds no Windows bit but
// kOsLinux, plus an architecture bit.
#pragma once

#include <cstdint>
#include <string_view>

inline constexpr uint32_t kOsLinux = 0x10000;
inline constexpr uint32_t kOs32Bit = 0x100000;
inline constexpr uint32_t kOs64Bit = 0x200000;

// kOsLinux | architecture bit of uname's machine; 0 when uname fails.
uint32_t hostOsVersionMask();
// The architecture bit for a machine name: kOs64Bit for x86_64 and aarch64, else kOs32Bit.
uint32_t architectureBit(std::string_view machine);
