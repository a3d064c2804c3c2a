#pragma once

#include <cstdint>

namespace vorn {

// How far a flush of a mapped file goes: part of the public interface
// (VORN::sync), so it lives apart from the mapped file itself.
enum class SyncFlag : uint8_t {
    Async = 0, // schedule the flush (MS_ASYNC)
    Sync = 1,  // flush and wait (MS_SYNC)
};

} // namespace vorn
