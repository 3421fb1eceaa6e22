// Small readers of the service's and the test adapter's answers, shared by the session tests.
#pragma once

#include <cstddef>
#include <string>

namespace testing_support {

// The path table's entry for the staged adapter (folder "ZEFAGPKI").
inline const std::string adapterPathId = "5D27C0A91B3E4F68A2C7E0B9146D83F2";

// "instance=<id> ..." as the test adapter's counters read -> "<id>".
inline std::string instanceOf(const std::string& counters) {
    const std::size_t at = counters.find("instance=");
    if (at == std::string::npos) return "";
    const std::size_t from = at + 9;
    return counters.substr(from, counters.find(' ', from) - from);
}

// Eight characters of the session id alphabet, then "_SID".
inline bool isGeneratedSessionId(const std::string& id) {
    if (id.size() != 12 || id.substr(8) != "_SID") return false;
    for (std::size_t i = 0; i < 8; ++i)
        if (!((id[i] >= '0' && id[i] <= '9') || (id[i] >= 'A' && id[i] <= 'Z'))) return false;
    return true;
}

inline std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

}  // namespace testing_support
