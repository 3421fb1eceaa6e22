// The component's failure codes. A method fails only by returning one of these negative
// HRESULTs; get_lastError hands the last one back to the page.
#pragma once

#include <cstdint>
#include <stdexcept>

namespace card {

using HResult = int32_t;

constexpr HResult hr(uint32_t code) {
    return static_cast<HResult>(code);
}

constexpr HResult kOk = 0;
constexpr HResult kInvalidArgument =
    hr(0x80070057);  // unreadable certificate, Base64, code page, flag
constexpr HResult kOutOfMemory = hr(0x8007000E);
constexpr HResult kFailed = hr(0x80004005);  // the crypto library refused, reason logged nowhere
constexpr HResult kNotInSequence = hr(0x8000FFFF);  // an Update or Final without its Init
constexpr HResult kAccessDenied = hr(0x80070005);   // a path outside what the component may use
constexpr HResult kFileNotFound = hr(0x80070002);
constexpr HResult kWriteFault = hr(0x8007001D);
constexpr HResult kModuleNotFound = hr(0x8007007E);     // PKCS#11 module cannot be loaded
constexpr HResult kNoSmartCard = hr(0x8010000C);        // the selected reader holds no token
constexpr HResult kReaderUnavailable = hr(0x80100017);  // reader index out of range
constexpr HResult kWrongPin = hr(0x8010006B);
constexpr HResult kPinBlocked = hr(0x8010006C);
constexpr HResult kNotAuthenticated = hr(0x8010006F);  // a PIN is needed and none was given
constexpr HResult kBadData = hr(0x80090005);       // cipher text or signature that does not decode
constexpr HResult kNoKey = hr(0x8009000D);         // no certificate or key fit for the operation
constexpr HResult kBadAlgorithm = hr(0x80090008);  // hash selector or key type not supported

// Thrown inside the component, turned into the method's HRESULT at the interface.
struct CardError : std::runtime_error {
    explicit CardError(HResult code) : std::runtime_error("card error"), code(code) {}
    HResult code;
};

[[noreturn]] inline void fail(HResult code) {
    throw CardError(code);
}

}  // namespace card
