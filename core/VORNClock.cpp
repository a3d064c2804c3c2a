#include "core/VORNClock.h"

#include <atomic>
#include <ctime>

namespace vorn {

namespace {

std::atomic<ClockFunction> g_clock{nullptr};

} // namespace

uint32_t currentTimeInSecond() {
    ClockFunction clock = g_clock.load(std::memory_order_acquire);
    if (clock) {
        return clock();
    }
    return static_cast<uint32_t>(time(nullptr));
}

void setClockForTesting(ClockFunction clock) {
    g_clock.store(clock, std::memory_order_release);
}

} // namespace vorn
