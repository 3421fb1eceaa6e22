// The callbacks through which every listener hands its requests over: a form POST with the
// field "Parameter" goes to the session dispatcher and its answer back to the page with
// CORS headers; the private-network preflight is answered here; anything else is closed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <microhttpd.h>

MHD_Result handleRequest(void* closure, MHD_Connection* connection, const char* url,
                         const char* method, const char* version, const char* uploadData,
                         size_t* uploadDataSize, void** connectionState);

MHD_Result collectParameter(void* closure, MHD_ValueKind kind, const char* key,
                            const char* fileName, const char* contentType,
                            const char* transferEncoding, const char* data, uint64_t offset,
                            size_t size);

void requestCompleted(void* closure, MHD_Connection* connection, void** connectionState,
                      MHD_RequestTerminationCode terminationCode);

// Queues the answer (or, for a preflight, the empty 204). MHD_NO when there is nothing to send.
MHD_Result sendResponse(MHD_Connection* connection, bool preflight);
