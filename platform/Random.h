// Random bytes from the kernel.
#pragma once

#include <cstddef>
#include <span>

// Fills the whole buffer; false when the kernel gave fewer bytes.
bool fillRandomBytes(std::span<unsigned char> buffer);
