#pragma once

// Container coder: lists, the single value wrapper, key/value pair lists and
// a data file's item stream, in the wire format of PBUtility.h.
//
// Container formats (the leading varint is the container's length prefix, the
// number of bytes after it; decoders read elements up to the end of the input
// and do not stop at the prefix):
//   single value wrapper   varint n, n value bytes
//   list of strings        varint P, each string as varint length + bytes
//   list of int32/uint32/int64/uint64
//                          varint P, each element as writeInt32/UInt32/Int64/UInt64
//   list of bool           varint count, one byte 01/00 per element
//   list of float/double   varint 4*count / 8*count, IEEE-754 little-endian
//   key/value pairs        varint P, then key (varint length + bytes) and value
//                          (varint length + bytes) of every pair whose key is
//                          not empty
// Item stream of a data file: one varint (the item-size holder, ignored), then
// records of key and value as above. A later record for a key replaces the
// earlier one; a record with an empty value deletes the key.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "crypt/AESCrypt.h"
#include "encoding/CodedInputData.h"
#include "encoding/CodedInputDataCrypt.h"
#include "encoding/CodedOutputData.h"
#include "encoding/VornBuffer.h"
#include "encoding/VornIndex.h"

namespace vorn {

// A read-only view of count elements; converts from a vector, which must
// outlive the view.
template <typename T> struct VornSpan {
    const T *data = nullptr;
    size_t count = 0;

    VornSpan() = default;
    VornSpan(const T *elements, size_t n) : data(elements), count(n) {}
    VornSpan(const std::vector<T> &elements) : data(elements.data()), count(elements.size()) {}

    const T *begin() const { return data; }
    const T *end() const { return data + count; }
    size_t size() const { return count; }
};

enum PBEncodeItemType : uint32_t {
    PBItemNone = 0,
    PBItemData = 1,      // varint length + buffer bytes
    PBItemContainer = 2, // only the container's length prefix; its elements follow as items
    PBItemString = 3,    // varint length + string bytes
    PBItemInt32 = 4,
    PBItemUInt32 = 5,
    PBItemInt64 = 6,
    PBItemUInt64 = 7,
};

// One prepared item. Points at the caller's strings and buffers, which must
// outlive writePreparedItems.
struct PBEncodeItem {
    PBEncodeItemType itemType = PBItemNone;
    // Bytes the item takes when written, its own length prefix included.
    uint32_t encodedSize = 0;
    // The length prefix of data, string and container items; 0 for numbers.
    uint32_t payloadSize = 0;
    union {
        const VornBuffer *bufferValue;
        const std::string *strValue;
        int32_t int32Value;
        uint32_t uint32Value;
        int64_t int64Value;
        uint64_t uint64Value;
    } value{};
};

// Encoder and decoder of containers. A coder object does one job for one
// thread: an encoder (default constructor) prepares one object and writes it;
// a decoder reads one input. Maps are filled under the store's exclusive lock.
//
// Failures: encoders return an empty buffer and decoders false, after logging
// at error level (source "RecordCoder") the exception's text, or "encode fail"
// / "prepare encode fail" (encoders) / "decode fail" (decoders) for anything
// else. The string list
// decoders log nothing and let the exceptions of CodedInputData through.
// Allocation failures of preparation and getEncodeData propagate.
class RecordCoder {
public:
    // ---- Encoding ----
    RecordCoder();

    // Each appends the items of one object and returns the index of the item
    // that stands for the whole object. Containers longer than
    // kMaxLengthDelimitedSize throw std::length_error.
    size_t prepareObjectForEncode(const VornBuffer &value);
    size_t prepareObjectForEncode(const std::string &value);
    size_t prepareObjectForEncode(VornSpan<std::string> values);
    size_t prepareObjectForEncode(VornSpan<int32_t> values);
    size_t prepareObjectForEncode(VornSpan<uint32_t> values);
    size_t prepareObjectForEncode(VornSpan<int64_t> values);
    size_t prepareObjectForEncode(VornSpan<uint64_t> values);
    // Pairs with an empty key are left out.
    size_t prepareObjectForEncode(const std::vector<std::pair<std::string, VornBuffer>> &pairs);

    // The object whose item is at index, in a new buffer of exactly its
    // encoded size. Empty for an unknown index, an item of size 0, or a
    // failure (logged).
    VornBuffer writePreparedItems(size_t index);

    // The single value wrapper: varint n, then the n bytes. Empty on failure (logged).
    static VornBuffer encodeDataWithObject(const VornBuffer &value);

    static VornBuffer getEncodeData(const std::vector<bool> &values);
    static VornBuffer getEncodeData(VornSpan<float> values);
    static VornBuffer getEncodeData(VornSpan<double> values);

    // ---- Decoding ----
    // A decoder over input (borrowed; may be null for no input). With a
    // crypter the input is an encrypted item stream read through a
    // CodedInputDataCrypt, which advances that crypter (it must stand at the
    // input's first byte, or at `position` for a map decode from a position).
    explicit RecordCoder(const VornBuffer *input, AESCrypt *crypter = nullptr);
    ~RecordCoder();

    RecordCoder(const RecordCoder &) = delete;
    RecordCoder &operator=(const RecordCoder &) = delete;

    // A list of strings; throws the exceptions of CodedInputData.
    static std::vector<std::string> decodeVector(const VornBuffer &input);
    std::vector<std::string> decodeOneVector();

    // Typed lists, appended to result; false after a logged failure, with the
    // elements decoded before it kept. Reservations are limited by the bytes
    // the input actually holds.
    bool decodeOneVector(std::vector<bool> &result);
    bool decodeOneVector(std::vector<int32_t> &result);
    bool decodeOneVector(std::vector<uint32_t> &result);
    bool decodeOneVector(std::vector<int64_t> &result);
    bool decodeOneVector(std::vector<uint64_t> &result);
    bool decodeOneVector(std::vector<float> &result);
    bool decodeOneVector(std::vector<double> &result);

    // A data file's item stream into a store's index. position 0 reads (and
    // ignores) the item-size holder first; any other position skips that many
    // bytes of input, to apply only records appended after it.
    //  - strict (decodeMap): fills a new index and swaps it into dic only when
    //    the whole input decodes; otherwise dic is left untouched. Success
    //    with nothing to read leaves dic empty.
    //  - greedy (greedyDecodeMap): applies records to dic as they are read; on
    //    a failure the records before it stay applied.
    // Plain entries point into input, which must stay mapped while they are
    // used. The encrypted forms advance crypter over what they read; after a
    // failure it stands where reading stopped.
    // Returns whether the whole input decoded.
    static bool decodeMap(VORNMap &dic, const VornBuffer &input, size_t position = 0);
    static bool greedyDecodeMap(VORNMap &dic, const VornBuffer &input, size_t position = 0);
    static bool decodeMap(VORNMapCrypt &dic, const VornBuffer &input, AESCrypt *crypter, size_t position = 0);
    static bool greedyDecodeMap(VORNMapCrypt &dic, const VornBuffer &input, AESCrypt *crypter, size_t position = 0);

    bool decodeOneMap(VORNMap &dic, size_t position, bool greedy);
    bool decodeOneMap(VORNMapCrypt &dic, size_t position, bool greedy);

    const std::vector<PBEncodeItem> &items() const { return m_items; }

private:
    size_t appendItem(const PBEncodeItem &item);
    // Writes the items of the object at index, in order, until the output is full.
    void writeRootObject(size_t index);
    CodedInputData &reader();
    template <typename T, typename Read> bool decodeNumbers(std::vector<T> &result, size_t bytesPerElement, Read read);
    template <typename Map, typename Reader> void decodeRecords(Map &dic, Reader &reader, size_t position);

    const VornBuffer *m_source;
    CodedInputData *m_reader;
    CodedInputDataCrypt *m_cryptReader;
    VornBuffer *m_targetBuffer;
    CodedOutputData *m_writer;
    std::vector<PBEncodeItem> m_items;
};

} // namespace vorn
