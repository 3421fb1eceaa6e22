// What one call of a page may make the component do. The service takes requests of up to
// 64 MB; within that, these bounds keep one call's work and memory in proportion to what a
// signing page really sends, so that no page can make a call run for minutes or take gigabytes.
#pragma once

#include <cstddef>
#include <string_view>

namespace card {

// An XML document to sign or digest (as text, as a file, or as an external reference).
inline constexpr std::size_t kXmlDocumentLimit = 16u * 1024 * 1024;
// References in one signature: signing pages use a handful.
inline constexpr std::size_t kReferenceLimit = 64;
// A file read whole: its Base64 (4/3 of it) still fits in a request, so that a page can send
// back what it read.
inline constexpr std::size_t kFileSizeLimit = 32u * 1024 * 1024;

// Past a bound: one warning line in the log naming it, and kInvalidArgument to the page.
[[noreturn]] void refuseOverLimit(std::string_view what, std::size_t size, std::size_t limit);

}  // namespace card
