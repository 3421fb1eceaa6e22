// The callbacks through which every listener hands its requests over: a form POST with the
// field "Parameter" goes to the sessions and its answer back to the page with CORS
// headers; a request that may call the adapter runs on a worker thread while its
// connection is suspended. The private-network preflight is answered here; anything else
// is closed.
#pragma once

#include <microhttpd.h>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class ServiceState;

// The service whose sessions answer the requests; set before any listener starts.
void serveRequests(ServiceState& state);

// Waits up to `limit` until no request runs on a worker thread (a listener must not stop
// while one of its connections is suspended); false when some still run.
bool waitForRequestWorkers(std::chrono::milliseconds limit);

MHD_Result handleRequest(void* closure, MHD_Connection* connection, const char* url,
                         const char* method, const char* version, const char* uploadData,
                         size_t* uploadDataSize, void** connectionState);

MHD_Result collectParameter(void* closure, MHD_ValueKind kind, const char* key,
                            const char* fileName, const char* contentType,
                            const char* transferEncoding, const char* data, uint64_t offset,
                            size_t size);

void requestCompleted(void* closure, MHD_Connection* connection, void** connectionState,
                      MHD_RequestTerminationCode terminationCode);

// Queues the serialised answer `body`, wiped once it is sent, with `origin` (a C text that
// lasts until the request is done) allowed; or, for a preflight, the empty 204. MHD_NO when
// there is nothing to send.
MHD_Result sendResponse(MHD_Connection* connection, bool preflight,
                        std::optional<std::string> body = std::nullopt,
                        std::optional<std::string_view> origin = std::nullopt);
