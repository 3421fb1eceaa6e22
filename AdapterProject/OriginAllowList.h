// The administrator's list of the web origins allowed to open card sessions: a file in the
// system's folder, one origin per line, "#" starting a comment. Without the file every
// origin may; with it, only the origins it lists.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// "ZEFAGPKI/allowed-origins" in the Windows folder.
std::string allowedOriginsPath();

// An http or https origin in the form the list compares: scheme and host lower-cased, the
// default port (80, 443) dropped. Nothing for anything else (a path, even "/", user
// information, a bad port, white space, another scheme).
std::optional<std::string> canonicalOrigin(std::string_view origin);

// Whether a page of this origin may open a card session. A file that exists but cannot be
// read allows nothing; entries that are not origins are ignored with a warning; a refusal
// is logged.
bool originMayUseCard(const std::optional<std::string>& origin);
