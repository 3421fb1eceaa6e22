// The allow-list of web origins: setUnlockURL installs a ";"-separated list of domain
// entries, checkUnlockDomain tests a page's origin against it. An entry ".example.com"
// (or "*.example.com") allows any labels in front, "example." anything after, and "*"
// stands for any run of characters; matching ignores the scheme, the port and letter case.
// The list comes from a page, so matching takes time linear in the origin and the list,
// and both are bounded: a list of more than kMaxUrlCheckListLength characters or
// kMaxUrlCheckEntries entries, or with an entry that is not a domain pattern (letters,
// digits, "-", "." and "*", at most kMaxUrlCheckEntryLength of them, optionally ending in
// "/"), allows nothing.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t kMaxUrlCheckListLength = 16384;
inline constexpr std::size_t kMaxUrlCheckEntries = 256;
inline constexpr std::size_t kMaxUrlCheckEntryLength = 256;

// Installs the list and withdraws any earlier verdict. An absent or empty list installs
// an empty one, which allows nothing.
void setUnlockURL(const char* list);
void setUnlockURL(std::string_view list);

// Tests the origin against the installed list and returns the verdict, which isUnlocked()
// also reports until the next check. Every check starts from "not allowed", so a verdict
// never carries over to another origin or another list.
bool checkUnlockDomain(const char* origin);
bool checkUnlockDomain(std::string_view origin);

bool isUnlocked();

// Empties the installed list (the value store does so after each use).
void clearUrlCheckList();

// The installed patterns, in order, in the notation the log has always shown them in
// ("*" as "\S*", "." as "\.").
std::vector<std::string> urlCheckList();

// The matcher itself: `pattern` (lower case, "*" any run of characters) against the whole
// of `host` (lower case), in O(pattern + host) time.
bool domainPatternMatches(std::string_view pattern, std::string_view host);
