#pragma once

#include <cstdint>

namespace vorn {

// Why an internal operation did not do its work. Internal operations return
// it up to the operation a caller made, which writes the one log line that
// caller knows (StoreEngine::logRefusal).
enum class Status : uint8_t {
    Ok = 0,
    EmptyKey,      // refused everywhere, without a log line
    ReadOnly,      // opened read-only: "[<id>] file readonly"
    NotMapped,     // the data file is not mapped: "[<id>] file not valid"
    MetaNotMapped, // the meta file is not mapped: stream bytes written now
                   // would be lost, or taken for damage, at the next load
    Undecodable,   // the stream checks out but does not decode (a wrong key):
                   // its bytes are kept for an open that can read them
    IO,            // a file operation failed (logged where it failed)
};

} // namespace vorn
