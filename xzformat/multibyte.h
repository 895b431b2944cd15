// The .xz format's variable-length unsigned integers (1 to 9 bytes, 7 bits each).
#ifndef XZFORMAT_MULTIBYTE_H
#define XZFORMAT_MULTIBYTE_H

#include <cstdint>

namespace xzformat {

// Decodes the integer at bytes, reading at most min(available, 9) bytes.
// Returns the bytes it occupies (1 to 9), or 0 when no valid integer starts
// there; value is untouched when available is 0.
int32_t DecodeMultibyteInteger(const uint8_t* bytes, uint32_t available, uint64_t* value);

} // namespace xzformat

#endif
