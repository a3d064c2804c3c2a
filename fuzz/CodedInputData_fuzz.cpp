// CodedInputData: a script of reads over a region, each checked against the
// reference reader (same value, same position, same exception type and text),
// with borrowed buffers and index entries required to lie inside the region.
//
// Input: byte 0 = number of script steps (low 5 bits), then one byte per
// step (low 4 bits: the read; high 4 bits: its parameter), then the region.

#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "encoding/CodedInputData.h"
#include "encoding/IndexEntry.h"

using namespace vorn;
using namespace fuzzsupport;

namespace {

enum Op : uint8_t {
    OpRawByte,
    OpVarint32, // readRawVarint32, or readUInt32 with an odd parameter
    OpBool,
    OpVarint64,   // readInt64, or readUInt64 with an odd parameter
    OpFixed32,    // readRawLittleEndian32, or readFloat with an odd parameter
    OpFixed64,    // readRawLittleEndian64, or readDouble with an odd parameter
    OpString,     // readString()
    OpStringInto, // readString(std::string &)
    OpData,       // readData(copy = parameter bit 0, exactly = bit 1)
    OpRecord,     // readString(IndexEntry &) then readData(IndexEntry &)
    OpRecordKey,  // readRecordKey
    OpSkipValue,  // skipRecordValue after the last record key (or from offset 0)
    OpSeek,       // seek(parameter), or one byte past the end for parameter 15
    OpRealData,   // readRealData over the unread rest
    OpAtEnd,      // reachedEnd
    OpCount,
};

class Script {
public:
    explicit Script(const ExactRegion &region)
        : m_region(region), m_input(region.data(), region.size()), m_ref(region.data(), region.size()) {}

    void run(uint8_t step) {
        m_step++;
        const uint8_t op = step & 0x0F;
        const uint8_t parameter = step >> 4;
        m_ref.outcome = Outcome();
        switch (op % OpCount) {
        case OpRawByte: {
            uint8_t want = 0;
            bool ok = m_ref.byte(want);
            expect(
                ok, [&] { return m_input.readRawByte(); }, want);
            break;
        }
        case OpVarint32: {
            uint32_t want = 0;
            bool ok = m_ref.varint32(want);
            if (parameter & 1) {
                expect(
                    ok, [&] { return m_input.readUInt32(); }, want);
            } else {
                expect(
                    ok, [&] { return m_input.readRawVarint32(); }, static_cast<int32_t>(want));
            }
            break;
        }
        case OpBool: {
            uint32_t want = 0;
            bool ok = m_ref.varint32(want);
            expect(
                ok, [&] { return m_input.readBool(); }, want != 0);
            break;
        }
        case OpVarint64: {
            uint64_t want = 0;
            bool ok = m_ref.varint64(want);
            if (parameter & 1) {
                expect(
                    ok, [&] { return m_input.readUInt64(); }, want);
            } else {
                expect(
                    ok, [&] { return m_input.readInt64(); }, static_cast<int64_t>(want));
            }
            break;
        }
        case OpFixed32: {
            uint64_t want = 0;
            bool ok = m_ref.fixed(4, want);
            if (parameter & 1) {
                expect(
                    ok, [&] { return floatBits(m_input.readFloat()); }, static_cast<uint32_t>(want));
            } else {
                expect(
                    ok, [&] { return m_input.readRawLittleEndian32(); }, static_cast<int32_t>(want));
            }
            break;
        }
        case OpFixed64: {
            uint64_t want = 0;
            bool ok = m_ref.fixed(8, want);
            if (parameter & 1) {
                expect(
                    ok, [&] { return doubleBits(m_input.readDouble()); }, want);
            } else {
                expect(
                    ok, [&] { return m_input.readRawLittleEndian64(); }, static_cast<int64_t>(want));
            }
            break;
        }
        case OpString: {
            size_t offset = 0;
            uint32_t size = 0;
            bool ok = m_ref.item(offset, size);
            expect(
                ok, [&] { return m_input.readString(); }, ok ? bytesAt(offset, size) : std::string());
            break;
        }
        case OpStringInto: {
            size_t offset = 0;
            uint32_t size = 0;
            bool ok = m_ref.item(offset, size);
            const std::string before = "kept on failure";
            std::string value = before;
            expect(
                ok,
                [&] {
                    m_input.readString(value);
                    return value;
                },
                ok ? bytesAt(offset, size) : before);
            FUZZ_CHECK(ok || value == before, "readString(std::string &) changed its output on failure");
            break;
        }
        case OpData:
            readData(parameter & 1, parameter & 2);
            break;
        case OpRecord:
            readRecord();
            break;
        case OpRecordKey: {
            const size_t recordOffset = m_ref.position();
            uint32_t size = 0;
            bool ok = m_ref.length(size) && keyFits(size);
            std::string want;
            if (ok) {
                want = bytesAt(m_ref.position(), size);
                m_ref.seek(size);
                m_lastRecordOffset = static_cast<uint32_t>(recordOffset);
            }
            uint32_t gotOffset = 0;
            expect(
                ok, [&] { return m_input.readRecordKey(gotOffset); }, want);
            FUZZ_CHECK(!ok || gotOffset == recordOffset, "readRecordKey set the wrong record offset");
            break;
        }
        case OpSkipValue: {
            uint32_t size = 0;
            bool ok = m_ref.length(size);
            // An offset beyond the position wraps to a huge key part: refused.
            const size_t kvSize = m_ref.position() - m_lastRecordOffset;
            if (ok && kvSize > kRefMaxKVSize) {
                ok = m_ref.failAt(Failure::KVSizeTooLarge);
            }
            if (ok) {
                m_ref.seek(size);
            }
            uint16_t computed = 0;
            expect(
                ok, [&] { return m_input.skipRecordValue(m_lastRecordOffset, computed); }, size);
            FUZZ_CHECK(!ok || computed == kvSize, "skipRecordValue computed the wrong key part size");
            break;
        }
        case OpSeek: {
            const size_t n = parameter < 15 ? parameter : m_ref.left() + 1;
            bool ok = m_ref.seek(n);
            expect(
                ok,
                [&] {
                    m_input.seek(n);
                    return 0;
                },
                0);
            break;
        }
        case OpRealData:
            readRealData();
            break;
        case OpAtEnd:
            FUZZ_CHECK(m_input.reachedEnd() == (m_ref.left() == 0), "reachedEnd disagrees with the position");
            break;
        }
        FUZZ_CHECK(m_input.getPosition() == m_ref.position(),
                   "step " + std::to_string(m_step) + " op " + std::to_string(op) + ": position " +
                       std::to_string(m_input.getPosition()) + ", expected " + std::to_string(m_ref.position()));
    }

private:
    static uint32_t floatBits(float f) {
        uint32_t bits;
        memcpy(&bits, &f, sizeof(bits));
        return bits;
    }
    static uint64_t doubleBits(double d) {
        uint64_t bits;
        memcpy(&bits, &d, sizeof(bits));
        return bits;
    }

    std::string bytesAt(size_t offset, size_t size) const {
        return std::string(reinterpret_cast<const char *>(m_region.data() + offset), size);
    }

    bool keyFits(uint32_t size) { return size <= kRefMaxKeyLength || m_ref.failAt(Failure::KeyTooLarge); }

    // Runs `read`; it must throw exactly what the reference reader failed
    // with, or return `want` when the reference succeeded.
    template <typename Read, typename T> void expect(bool refOk, Read read, const T &want) {
        const std::string where = "step " + std::to_string(m_step);
        try {
            auto got = read();
            FUZZ_CHECK(refOk, where + ": read succeeded, expected: " + m_ref.outcome.text());
            FUZZ_CHECK(got == want, where + ": read a different value");
        } catch (const std::exception &e) {
            FUZZ_CHECK(!refOk, where + ": unexpected exception: " + e.what());
            FUZZ_CHECK(m_ref.outcome.matches(e),
                       where + ": threw '" + e.what() + "', expected '" + m_ref.outcome.text() + "'");
        }
    }

    void readData(bool copy, bool exactly) {
        size_t offset = 0;
        uint32_t size = 0;
        bool ok = m_ref.item(offset, size, exactly);
        expect(
            ok,
            [&] {
                VornBuffer buffer = m_input.readData(copy, exactly);
                FUZZ_CHECK(buffer.size() == size, "readData returned a buffer of the wrong size");
                if (!copy && size > 0) {
                    FUZZ_CHECK(buffer.copyFlag() == VornBufferNoCopy && buffer.data() == m_region.data() + offset,
                               "a borrowed readData buffer does not point at its bytes in the region");
                } else if (size > 0) {
                    FUZZ_CHECK(buffer.copyFlag() == VornBufferCopy && !m_region.contains(buffer.data(), 1),
                               "a copied readData buffer points into the region");
                }
                return std::string(static_cast<const char *>(buffer.data()), buffer.size());
            },
            ok ? bytesAt(offset, size) : std::string());
    }

    // Key and value of one record into an index entry, which must describe
    // the record's bytes inside the region.
    void readRecord() {
        const size_t recordOffset = m_ref.position();
        uint32_t keySize = 0;
        bool ok = m_ref.length(keySize) && keyFits(keySize);
        std::string key;
        if (ok) {
            key = bytesAt(m_ref.position(), keySize);
            m_ref.seek(keySize);
        }
        IndexEntry kv;
        expect(
            ok, [&] { return m_input.readString(kv); }, key);
        if (!ok) {
            return;
        }
        FUZZ_CHECK(kv.offset == recordOffset && kv.keySize == keySize, "readString(IndexEntry &) entry");
        m_lastRecordOffset = static_cast<uint32_t>(recordOffset);

        m_ref.outcome = Outcome();
        uint32_t valueSize = 0;
        ok = m_ref.length(valueSize);
        const size_t computed = m_ref.position() - recordOffset;
        if (ok && computed > kRefMaxKVSize) {
            ok = m_ref.failAt(Failure::KVSizeTooLarge);
        }
        const size_t valueOffset = m_ref.position();
        if (ok) {
            m_ref.seek(valueSize);
        }
        expect(
            ok,
            [&] {
                m_input.readData(kv);
                return kv.valueSize;
            },
            valueSize);
        if (!ok) {
            return;
        }
        FUZZ_CHECK(kv.computedKVSize == computed, "readData(IndexEntry &) computed size");
        FUZZ_CHECK(static_cast<size_t>(kv.offset) + kv.computedKVSize + kv.valueSize <= m_region.size(),
                   "an index entry reaches beyond the region");
        VornBuffer value = kv.toVornBuffer(m_region.data());
        FUZZ_CHECK(value.size() == valueSize && (valueSize == 0 || (value.data() == m_region.data() + valueOffset &&
                                                                    m_region.contains(value.data(), value.size()))),
                   "an index entry's value is not its bytes in the region");
    }

    // The unread rest as one wrapped value; the reader itself does not move.
    void readRealData() {
        const size_t from = m_ref.position();
        RefReader rest(m_region.data() + from, m_region.size() - from);
        size_t offset = 0;
        uint32_t size = 0;
        const bool ok = rest.item(offset, size, true);
        VornBuffer whole(m_region.data() + from, m_region.size() - from, VornBufferNoCopy);
        try {
            VornBuffer value = CodedInputData::readRealData(whole);
            FUZZ_CHECK(ok, "readRealData succeeded, expected: " + rest.outcome.text());
            FUZZ_CHECK(value.size() == size && (size == 0 || value.data() == m_region.data() + from + offset),
                       "readRealData does not borrow the wrapped bytes");
        } catch (const std::exception &e) {
            FUZZ_CHECK(!ok && rest.outcome.matches(e),
                       std::string("readRealData threw ") + e.what() + ", expected: " + rest.outcome.text());
        }
    }

    const ExactRegion &m_region;
    CodedInputData m_input;
    RefReader m_ref;
    uint32_t m_lastRecordOffset = 0;
    size_t m_step = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    InputCursor cursor(data, size);
    const size_t steps = cursor.take() & 0x1F;
    std::vector<uint8_t> script;
    for (size_t i = 0; i < steps; i++) {
        script.push_back(cursor.take());
    }
    ExactRegion region(cursor.rest());
    Script run(region);
    for (uint8_t step : script) {
        run.run(step);
    }
    return 0;
}
