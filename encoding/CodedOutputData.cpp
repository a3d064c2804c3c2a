#include "encoding/CodedOutputData.h"

namespace vorn {

void CodedOutputData::writeVarintNearEnd(uint64_t value) {
    while (value >= 0x80) {
        writeRawByte(static_cast<uint8_t>(value | 0x80));
        value >>= 7;
    }
    writeRawByte(static_cast<uint8_t>(value));
}

void CodedOutputData::writeFixedNearEnd(uint64_t value, size_t width) {
    for (size_t i = 0; i < width; i++) {
        writeRawByte(static_cast<uint8_t>(value >> (8 * i)));
    }
}

} // namespace vorn
