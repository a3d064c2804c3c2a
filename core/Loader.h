#pragma once

// What a load trusts of a store's stream, decided before anything is
// applied: the record's length and CRC when they check out; else an
// interrupted rewrite finished from its journal; else the stream one record
// longer, when the record's CRC is that of it (a process died between the
// two stores of an append); else the legacy size field
// (a store written by an older version after a newer one) or the last
// confirmed state; else the host's answer to the damage (recover: decode
// what still reads, then rewrite; discard: start empty).
//
// The Loader reads the data file and the record and asks the handler; it
// writes nothing itself. The engine applies the plan in one place
// (StoreEngine::loadFromFile): the trusted length and CRC, a fallback
// recorded in the meta record, the decode, the rewrite.
//
// Locking: the engine holds the thread lock, and the exclusive lock for a
// writable store (a fallback and a salvage are written).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/VORNMetaInfo.h"
#include "log/VORNHandler.h"

namespace vorn {

class AESCrypt;
class DataStream;

struct LoadPlan {
    // Decode the stream's first `size` bytes (else: nothing to load).
    bool decode = false;
    // Decode record by record, keeping what reads (a salvage), and rewrite
    // the stream afterwards.
    bool salvage = false;
    // The trusted length and its CRC.
    size_t size = 0;
    uint32_t crc = 0;
    // The trusted state is a fallback the meta record does not hold yet:
    // record it (a writable store).
    bool recordFallback = false;
};

class Loader {
public:
    // `finishInterruptedRewrite` completes a rewrite from its journal when
    // one is there (true: the record and the stream now agree); it is asked
    // only when the record does not check out.
    // `cipher` is the store's cipher (null for a plain store), only cloned.
    Loader(const std::string &mmapID, DataStream &stream, const VORNMetaInfo &record, const AESCrypt *cipher,
           std::optional<VORNRecoverStrategic> recover, std::function<bool()> finishInterruptedRewrite);

    // The plan for a stream the record claims is `claimedSize` bytes long.
    // metaDamaged: the host chose to discard a record its check block
    // contradicts (nothing is trusted).
    LoadPlan checkDataValid(size_t claimedSize, bool metaDamaged);

private:
    // Whether the CRC of the stream's first `size` bytes is `crc` (logged when not).
    bool checkFileCRCValid(size_t size, uint32_t crc);
    VORNRecoverStrategic chooseAnswer(VORNRecoverStrategic handlerAnswer) const;

    const std::string &m_mmapID;
    DataStream &m_stream;
    const VORNMetaInfo &m_record;
    const AESCrypt *m_cipher;
    const std::optional<VORNRecoverStrategic> m_recover;
    std::function<bool()> m_finishInterruptedRewrite;
};

} // namespace vorn
