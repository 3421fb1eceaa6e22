// The allow-list of web origins: setUnlockURL installs a ";"-separated list of domain
// entries, checkUnlockDomain tests a page's origin against it. An entry ".example.com"
// (or "*.example.com") allows any labels in front, "example." anything after; matching
// ignores the scheme, the port and letter case. Characters other than "*" and "." keep
// their regular-expression meaning.
#pragma once

#include <string>
#include <string_view>
#include <vector>

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

// The installed patterns, in order.
std::vector<std::string> urlCheckList();
