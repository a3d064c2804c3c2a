#include "GuardedMappings.h"

#include <sys/mman.h>

#include <cerrno>
#include <map>

#include "platform/MemoryFile.h"

namespace vorn_test {

namespace {

struct Reservation {
    void *base;    // the first guard page
    size_t length; // both guards and the pages between them
};

// By the address handed to the library.
std::map<void *, Reservation> g_reservations;

void *guardedMmap(void *, size_t length, int protection, int flags, int fd, off_t offset) {
    const size_t page = vorn::getPageSize();
    const size_t pages = (length + page - 1) / page;
    const size_t total = (pages + 2) * page;
    void *base = ::mmap(nullptr, total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) {
        return MAP_FAILED;
    }
    void *inside = static_cast<char *>(base) + page;
    void *mapped = vorn::realSystemCalls().mmap(inside, length, protection, flags | MAP_FIXED, fd, offset);
    if (mapped == MAP_FAILED) {
        const int error = errno;
        ::munmap(base, total);
        errno = error;
        return MAP_FAILED;
    }
    g_reservations[mapped] = {base, total};
    return mapped;
}

int guardedMunmap(void *address, size_t length) {
    auto found = g_reservations.find(address);
    if (found == g_reservations.end()) {
        return vorn::realSystemCalls().munmap(address, length);
    }
    const Reservation reservation = found->second;
    g_reservations.erase(found);
    return ::munmap(reservation.base, reservation.length);
}

} // namespace

GuardedMappings::GuardedMappings() {
    g_reservations.clear();
    m_calls->mmap = guardedMmap;
    m_calls->munmap = guardedMunmap;
    // A moved mapping would leave its guard pages behind: growths unmap and
    // map again, between new guards.
    m_calls->remap = [](void *, size_t, size_t) -> void * {
        errno = ENOSYS;
        return MAP_FAILED;
    };
}

GuardedMappings::~GuardedMappings() {
    g_reservations.clear();
}

size_t GuardedMappings::live() const {
    return g_reservations.size();
}

} // namespace vorn_test
