#pragma once

#include <cstddef>

#include "platform/SystemCalls.h"

namespace vorn_test {

// While an object of this class lives, every file the library maps is placed
// between two inaccessible pages, so that a read or write just before or past
// a mapping faults at once instead of landing in whatever memory happens to
// lie next to it. (AddressSanitizer does not watch mapped files.)
//
// It replaces the mmap and munmap entries of the system call table: use it
// from one thread, with no other thread in the library. Stores opened while
// it lives should be closed before it ends; a mapping unmapped later merely
// leaves its two guard pages behind.
class GuardedMappings {
public:
    GuardedMappings();
    ~GuardedMappings();

    // Mappings made through the guard and not unmapped yet.
    size_t live() const;

    GuardedMappings(const GuardedMappings &) = delete;
    GuardedMappings &operator=(const GuardedMappings &) = delete;

private:
    vorn::ScopedSystemCallsOverride m_calls;
};

} // namespace vorn_test
