// The allow-list check on the worst page lists we can build, against a 500-character
// origin: installing the list and checking the origin, as the value store does on each
// read. Prints "BENCH<TAB>figure<TAB>ours (ms)<TAB>reference (ms)<TAB>ratio" rows; the
// reference is the limit, 1 ms.
#include "TessarollUtil/UrlCheck.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr double kLimitMs = 1.0;

// "https://" and labels of 63 letters: exactly 500 characters.
std::string longOrigin(char letter) {
    std::string origin = "https://";
    while (origin.size() + 64 < 500) origin += std::string(63, letter) + ".";
    origin += std::string(500 - origin.size(), letter);
    return origin;
}

// As many copies of `entry` as the limits let in.
std::string filledList(const std::string& entry) {
    std::string list;
    for (std::size_t n = 0;
         n < kMaxUrlCheckEntries && list.size() + entry.size() + 1 <= kMaxUrlCheckListLength; ++n)
        list += entry + ";";
    return list;
}

std::string starred(const std::string& piece, std::size_t length) {
    std::string entry = "*";
    while (entry.size() + piece.size() + 1 <= length) entry += piece + "*";
    return entry;
}

double medianMs(const std::string& list, const std::string& origin) {
    std::vector<double> runs;
    for (int i = 0; i < 201; ++i) {
        auto start = std::chrono::steady_clock::now();
        setUnlockURL(list);
        checkUnlockDomain(origin);
        runs.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::nth_element(runs.begin(), runs.begin() + 100, runs.end());
    return runs[100];
}

}  // namespace

int main() {
    const std::string as = longOrigin('a');
    std::string alternations;
    for (int i = 0; i < 30; ++i) alternations += "(a|a)";
    struct Case {
        const char* name;
        std::string list;
    };
    const std::vector<Case> cases = {
        {"near misses, many entries", filledList("*" + std::string(60, 'a') + "b*")},
        {"near misses, longest entries",
         filledList("*" + std::string(kMaxUrlCheckEntryLength - 3, 'a') + "b*")},
        {"many stars, many entries", filledList(starred("a", 62) + "b")},
        {"many stars, longest entries",
         filledList(starred("a.a", kMaxUrlCheckEntryLength - 1) + "b")},
        {"backtracking alternation", alternations + "b"},
        {"deeply nested brackets", std::string(20000, '(') + std::string(20000, ')')},
    };
    double worst = 0;
    for (const Case& c : cases) {
        double ms = medianMs(c.list, as);
        worst = std::max(worst, ms);
        std::printf("BENCH\t%s (ms)\t%.4f\t%.4f\t%.3f\n", c.name, ms, kLimitMs, ms / kLimitMs);
    }
    std::printf("BENCH\tworst list against a 500-character origin (ms)\t%.4f\t%.4f\t%.3f\n", worst,
                kLimitMs, worst / kLimitMs);
    return worst < kLimitMs ? 0 : 1;
}
