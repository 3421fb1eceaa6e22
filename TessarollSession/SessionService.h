// The session dispatcher: takes one parsed request, finds or opens its session (adapter
// copy, load, unlock, version gates), runs the service's own functions or forwards the
// request to the session's adapter, and builds the answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "TessarollUtil/JsonMap.h"

// The request being handled. The request handler fills these before calling
// dispatchSessionRequest and clears them afterwards; the dispatcher only reads them.
extern const JsonMap* requestMap;
extern std::optional<std::string> requestOrigin;  // the page's origin; nullopt: none
extern uint32_t ownProcessId;                     // the service's process id

inline constexpr const char* serviceVersion = "1.0.23.0510";

// Returns a new answer map that the caller owns and serialises, or null when there is no
// request map or origin, or no map could be made; then no response is sent. Not
// thread-safe: one request at a time (the caller holds the lock that also keeps the final
// release apart).
JsonMapPtr dispatchSessionRequest();

// Drops < > : / \ | ? * ; & $ and the double quote, keeps at most size-1 characters, and
// empties the text when it is then exactly "..".
void sanitizePathName(std::string& text, std::size_t size);
