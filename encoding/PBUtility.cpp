#include "encoding/PBUtility.h"

#include <stdexcept>
#include <string>

namespace vorn {

// Positions and sizes appear in unsigned decimal.

void throwReachEnd(size_t position, size_t size) {
    throw std::out_of_range("reach end, m_position: " + std::to_string(position) + ", m_size: " + std::to_string(size));
}

void throwOutOfSpace() {
    throw std::out_of_range(kOutOfSpaceText);
}

void throwMalformedVarint32() {
    throw std::invalid_argument(kMalformedVarint32Text);
}

void throwMalformedInt64() {
    throw std::invalid_argument(kMalformedInt64Text);
}

void throwNegativeSize() {
    throw std::length_error(kNegativeSizeText);
}

void throwTruncatedMessage() {
    throw std::out_of_range(kTruncatedMessageText);
}

void throwBadLength(int32_t length) {
    if (length < 0) {
        throwNegativeSize();
    }
    throwTruncatedMessage();
}

void throwKeyTooLarge() {
    throw std::length_error(kKeyTooLargeText);
}

void throwComputedKVSizeTooLarge() {
    throw std::length_error(kComputedKVSizeTooLargeText);
}

void throwRecordOffsetTooLarge() {
    throw std::length_error(kRecordOffsetTooLargeText);
}

void throwLengthTooLarge(size_t length) {
    throw std::length_error(kLengthTooLargeText + std::to_string(length));
}

void throwNoRoom(size_t position, size_t size) {
    throw std::out_of_range("m_position: " + std::to_string(position) + " m_size: " + std::to_string(size));
}

void throwBytesDoNotFit(size_t position, size_t numberOfBytes, size_t size) {
    throw std::out_of_range("m_position: " + std::to_string(position) +
                            ", numberOfBytes: " + std::to_string(numberOfBytes) + ", m_size: " + std::to_string(size));
}

} // namespace vorn
