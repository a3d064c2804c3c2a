#pragma once

#include <cstdint>

namespace vorn {

// The clock behind every expiry decision of the library: seconds since the
// Unix epoch, as a uint32 (expiry times are stored in 32 bits; the system
// clock is read with time()).
uint32_t currentTimeInSecond();

// Test seam: replaces the clock for the whole process until reset with null.
// Expiry tests move time forward with it instead of sleeping. Safe to call
// while other threads read the clock; the function itself must be thread-safe.
using ClockFunction = uint32_t (*)();
void setClockForTesting(ClockFunction clock);

} // namespace vorn
