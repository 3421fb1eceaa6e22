// The service's sessions: takes one parsed request with the page's origin, finds or opens
// its session (adapter copy, load, unlock, version gates), runs the service's own
// functions or forwards the request to the session's adapter, and builds the answer.
//
// Thread-safe without a lock around requests: calls of one session run in order, calls
// of different sessions at the same time (see SessionTable).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "TessarollSession/SessionTable.h"
#include "TessarollSession/SpareAdapter.h"
#include "TessarollSession/ValueStore.h"
#include "TessarollUtil/JsonMap.h"
#include "TessarollVersion.h"

// What the listener sends for a request: a map that it serialises, or the finished text of
// an answer the session keeps ready (its Echo). Neither: no response is sent.
struct SessionAnswer {
    JsonMapPtr map;
    ReadyAnswer text;
};

class SessionService {
public:
    // Sets up the session table in `copyPath` (see SessionTable) and a fresh value store;
    // `ownProcessId` is the process whose windows the topmost watcher raises.
    SessionService(std::string_view copyPath, std::string_view executePath, uint32_t ownProcessId);
    SessionService(const SessionService&) = delete;
    SessionService& operator=(const SessionService&) = delete;

    // A new answer map that the caller owns and serialises, or null when no map could be
    // made or the final release has begun; then no response is sent.
    JsonMapPtr handle(const JsonMap& request, std::string_view origin);

    // The same answer, but only for requests that never wait: the service's own Echo and
    // value-store functions on an open session whose previous call has ended, and a page's
    // first Echo while a slot is free and the next adapter is loaded ahead. Nothing (and
    // nothing logged) for every other request, which goes to handle() on a worker.
    std::optional<SessionAnswer> handleAtOnce(const JsonMap& request, std::string_view origin);

    // Releases every session oldest first, each after its running call, and deletes the
    // adapter copies that lie in the work folder; no session opens afterwards. Safe to run
    // more than once.
    void releaseAll();

    SessionTable& table() { return table_; }
    ValueStore& values() { return values_; }
    SpareAdapter& spare() { return spare_; }

private:
    struct Request;
    struct OwnFunction;
    static const OwnFunction ownFunctions[];
    static const OwnFunction* ownFunction(std::string_view name);

    // Nothing when the request must look for its session again. `claimed`: the slot the
    // request already holds.
    std::optional<JsonMapPtr> openSession(
        Request& call, JsonMapPtr answer,
        const std::optional<SessionTable::Opening>& claimed = std::nullopt);
    std::optional<JsonMapPtr> openAtOnce(const JsonMap& request, std::string_view origin,
                                         std::string_view function);
    JsonMapPtr continueSession(Request& call, JsonMapPtr answer);
    JsonMapPtr runAdapterFunction(Request& call, JsonMapPtr answer);
    JsonMapPtr forceRelease(Request& call, JsonMapPtr answer);
    JsonMapPtr closeSession(Request& call, JsonMapPtr answer);
    JsonMapPtr storeValue(Request& call, JsonMapPtr answer);
    JsonMapPtr readValue(Request& call, JsonMapPtr answer);
    JsonMapPtr echo(Request& call, JsonMapPtr answer);
    // With the slot's call lock held.
    ReadyAnswer echoText(int index);
    // Both with the slot's call lock held.
    void releaseAdapter(int index);
    void releaseSlot(const SessionTable::Claim& claim);

    SessionTable table_;
    SpareAdapter spare_;  // the next session's adapter, loaded ahead
    ValueStore values_;
    uint32_t ownProcessId_;
};

// An answer that holds only "result" = `code`; null (logged) when no map could be made.
JsonMapPtr resultOnlyAnswer(int code);

// Drops < > : / \ | ? * ; & $ and the double quote, keeps at most size-1 characters, and
// empties the text when it is then exactly "..".
void sanitizePathName(std::string& text, std::size_t size);
