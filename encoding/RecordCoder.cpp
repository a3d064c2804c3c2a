#define VORN_LOG_SOURCE "RecordCoder"

#include "encoding/RecordCoder.h"

#include <algorithm>
#include <stdexcept>

#include "log/VORNLog.h"

namespace vorn {

namespace {

// A strict decode builds its index from nothing; it reserves one bucket per
// this many stream bytes, so that a typical store (short keys, small values)
// is decoded with few rehashes while a stream of large values spends at most
// an eighth of its size on the bucket array.
constexpr size_t kReserveBytesPerRecord = 64;

// Exact encoded size of a length-delimited item of `length` bytes; refuses
// lengths a reader could not take back.
uint32_t lengthDelimitedSize(size_t length) {
    if (length > kMaxLengthDelimitedSize) {
        throwLengthTooLarge(length);
    }
    return static_cast<uint32_t>(pbLengthDelimitedSize(length));
}

uint32_t valueSizeOf(const IndexEntry &kv) {
    return kv.valueSize;
}
uint32_t valueSizeOf(const CryptIndexEntry &kv) {
    return kv.realValueSize();
}

} // namespace

// ---- Encoding ----

RecordCoder::RecordCoder()
    : m_source(nullptr), m_reader(nullptr), m_cryptReader(nullptr), m_targetBuffer(nullptr), m_writer(nullptr) {}

size_t RecordCoder::appendItem(const PBEncodeItem &item) {
    m_items.push_back(item);
    return m_items.size() - 1;
}

namespace {

// Container steps shared by every list: the container item first, the element
// items after it, then its sizes.
class ContainerBuilder {
public:
    explicit ContainerBuilder(std::vector<PBEncodeItem> &items) : m_items(items), m_index(items.size()) {
        PBEncodeItem container;
        container.itemType = PBItemContainer;
        m_items.push_back(container);
    }
    void add(const PBEncodeItem &item) {
        m_payload += item.encodedSize;
        if (m_payload > kMaxLengthDelimitedSize) {
            throwLengthTooLarge(m_payload);
        }
        m_items.push_back(item);
    }
    size_t finish() {
        PBEncodeItem &container = m_items[m_index];
        container.payloadSize = static_cast<uint32_t>(m_payload);
        container.encodedSize = lengthDelimitedSize(m_payload);
        return m_index;
    }

private:
    std::vector<PBEncodeItem> &m_items;
    size_t m_index;
    size_t m_payload = 0;
};

PBEncodeItem stringItem(const std::string &value) {
    PBEncodeItem item;
    item.itemType = PBItemString;
    item.encodedSize = lengthDelimitedSize(value.size());
    item.payloadSize = static_cast<uint32_t>(value.size());
    item.value.strValue = &value;
    return item;
}

PBEncodeItem dataItem(const VornBuffer &value) {
    PBEncodeItem item;
    item.itemType = PBItemData;
    item.encodedSize = lengthDelimitedSize(value.size());
    item.payloadSize = static_cast<uint32_t>(value.size());
    item.value.bufferValue = &value;
    return item;
}

} // namespace

size_t RecordCoder::prepareObjectForEncode(const VornBuffer &value) {
    return appendItem(dataItem(value));
}

size_t RecordCoder::prepareObjectForEncode(const std::string &value) {
    return appendItem(stringItem(value));
}

size_t RecordCoder::prepareObjectForEncode(VornSpan<std::string> values) {
    ContainerBuilder container(m_items);
    for (const auto &value : values) {
        container.add(stringItem(value));
    }
    return container.finish();
}

size_t RecordCoder::prepareObjectForEncode(VornSpan<int32_t> values) {
    ContainerBuilder container(m_items);
    for (int32_t value : values) {
        PBEncodeItem item;
        item.itemType = PBItemInt32;
        item.encodedSize = pbInt32Size(value);
        item.value.int32Value = value;
        container.add(item);
    }
    return container.finish();
}

size_t RecordCoder::prepareObjectForEncode(VornSpan<uint32_t> values) {
    ContainerBuilder container(m_items);
    for (uint32_t value : values) {
        PBEncodeItem item;
        item.itemType = PBItemUInt32;
        item.encodedSize = pbUInt32Size(value);
        item.value.uint32Value = value;
        container.add(item);
    }
    return container.finish();
}

size_t RecordCoder::prepareObjectForEncode(VornSpan<int64_t> values) {
    ContainerBuilder container(m_items);
    for (int64_t value : values) {
        PBEncodeItem item;
        item.itemType = PBItemInt64;
        item.encodedSize = pbInt64Size(value);
        item.value.int64Value = value;
        container.add(item);
    }
    return container.finish();
}

size_t RecordCoder::prepareObjectForEncode(VornSpan<uint64_t> values) {
    ContainerBuilder container(m_items);
    for (uint64_t value : values) {
        PBEncodeItem item;
        item.itemType = PBItemUInt64;
        item.encodedSize = pbUInt64Size(value);
        item.value.uint64Value = value;
        container.add(item);
    }
    return container.finish();
}

size_t RecordCoder::prepareObjectForEncode(const std::vector<std::pair<std::string, VornBuffer>> &pairs) {
    ContainerBuilder container(m_items);
    for (const auto &pair : pairs) {
        if (pair.first.empty()) {
            continue;
        }
        container.add(stringItem(pair.first));
        container.add(dataItem(pair.second));
    }
    return container.finish();
}

VornBuffer RecordCoder::writePreparedItems(size_t index) {
    if (index >= m_items.size() || m_items[index].encodedSize == 0) {
        return VornBuffer();
    }
    VornBuffer result;
    try {
        delete m_writer;
        m_writer = nullptr;
        delete m_targetBuffer;
        m_targetBuffer = nullptr;
        m_targetBuffer = new VornBuffer(m_items[index].encodedSize);
        m_writer = new CodedOutputData(m_targetBuffer->data(), m_targetBuffer->size());
        writeRootObject(index);
        result = std::move(*m_targetBuffer);
    } catch (std::exception &e) {
        VORNError("%s", e.what());
    } catch (...) {
        VORNError("encode fail");
    }
    delete m_writer;
    m_writer = nullptr;
    delete m_targetBuffer;
    m_targetBuffer = nullptr;
    return result;
}

void RecordCoder::writeRootObject(size_t index) {
    for (size_t i = index; i < m_items.size() && m_writer->spaceLeft() > 0; i++) {
        const PBEncodeItem &item = m_items[i];
        switch (item.itemType) {
        case PBItemData:
            m_writer->writeData(*item.value.bufferValue);
            break;
        case PBItemContainer:
            m_writer->writeUInt32(item.payloadSize);
            break;
        case PBItemString:
            m_writer->writeString(*item.value.strValue);
            break;
        case PBItemInt32:
            m_writer->writeInt32(item.value.int32Value);
            break;
        case PBItemUInt32:
            m_writer->writeUInt32(item.value.uint32Value);
            break;
        case PBItemInt64:
            m_writer->writeInt64(item.value.int64Value);
            break;
        case PBItemUInt64:
            m_writer->writeUInt64(item.value.uint64Value);
            break;
        case PBItemNone:
        default:
            VORNError("unknown item type %d at item %zu of %zu", static_cast<int>(item.itemType), i, m_items.size());
            break;
        }
    }
    if (m_writer->spaceLeft() != 0) {
        // The sizes of the preparation pass did not add up: never hand out a
        // buffer with an unwritten tail.
        throw std::logic_error("prepared items do not fill their encoded size");
    }
}

VornBuffer RecordCoder::encodeDataWithObject(const VornBuffer &value) {
    try {
        VornBuffer output(lengthDelimitedSize(value.size()));
        CodedOutputData writer(output.data(), output.size());
        writer.writeData(value);
        return output;
    } catch (std::exception &e) {
        VORNError("%s", e.what());
    } catch (...) {
        VORNError("prepare encode fail");
    }
    return VornBuffer();
}

namespace {

// varint prefix + count elements of elementSize bytes written by `write`.
template <typename Values, typename Write>
VornBuffer encodeFixedList(const Values &values, size_t count, size_t elementSize, uint32_t prefix, Write write) {
    VornBuffer output(pbRawVarint32Size(prefix) + count * elementSize);
    CodedOutputData writer(output.data(), output.size());
    writer.writeUInt32(prefix);
    for (const auto &value : values) {
        write(writer, value);
    }
    return output;
}

uint32_t checkedPrefix(size_t count, size_t elementSize) {
    if (count > kMaxLengthDelimitedSize / elementSize) {
        throwLengthTooLarge(count * elementSize);
    }
    return static_cast<uint32_t>(count * elementSize);
}

} // namespace

VornBuffer RecordCoder::getEncodeData(const std::vector<bool> &values) {
    uint32_t count = checkedPrefix(values.size(), 1);
    return encodeFixedList(values, values.size(), pbBoolSize(), count,
                           [](CodedOutputData &writer, bool value) { writer.writeBool(value); });
}

VornBuffer RecordCoder::getEncodeData(VornSpan<float> values) {
    uint32_t prefix = checkedPrefix(values.size(), pbFloatSize());
    return encodeFixedList(values, values.size(), pbFloatSize(), prefix,
                           [](CodedOutputData &writer, float value) { writer.writeFloat(value); });
}

VornBuffer RecordCoder::getEncodeData(VornSpan<double> values) {
    uint32_t prefix = checkedPrefix(values.size(), pbDoubleSize());
    return encodeFixedList(values, values.size(), pbDoubleSize(), prefix,
                           [](CodedOutputData &writer, double value) { writer.writeDouble(value); });
}

// ---- Decoding ----

RecordCoder::RecordCoder(const VornBuffer *input, AESCrypt *crypter)
    : m_source(input), m_reader(nullptr), m_cryptReader(nullptr), m_targetBuffer(nullptr), m_writer(nullptr) {
    const void *bytes = input ? input->data() : nullptr;
    const size_t size = input ? input->size() : 0;
    if (crypter) {
        m_cryptReader = new CodedInputDataCrypt(bytes, size, *crypter);
    } else {
        m_reader = new CodedInputData(bytes, size);
    }
}

RecordCoder::~RecordCoder() {
    delete m_reader;
    delete m_cryptReader;
    delete m_writer;
    delete m_targetBuffer;
}

CodedInputData &RecordCoder::reader() {
    if (!m_reader) {
        throw std::logic_error("RecordCoder: not a plain decoder");
    }
    return *m_reader;
}

std::vector<std::string> RecordCoder::decodeVector(const VornBuffer &input) {
    RecordCoder decoder(&input);
    return decoder.decodeOneVector();
}

std::vector<std::string> RecordCoder::decodeOneVector() {
    CodedInputData &input = reader();
    input.readInt32(); // the length prefix
    std::vector<std::string> result;
    while (!input.reachedEnd()) {
        result.push_back(input.readString());
    }
    return result;
}

template <typename T, typename Read>
bool RecordCoder::decodeNumbers(std::vector<T> &result, size_t bytesPerElement, Read read) {
    try {
        CodedInputData &input = reader();
        const uint32_t prefix = static_cast<uint32_t>(input.readInt32());
        if (bytesPerElement > 0) {
            // The prefix comes from the input: never reserve beyond what the
            // remaining bytes can hold.
            const size_t left = (m_source ? m_source->size() : 0) - input.getPosition();
            result.reserve(result.size() + std::min<size_t>(prefix, left) / bytesPerElement);
        }
        while (!input.reachedEnd()) {
            result.push_back(read(input));
        }
        return true;
    } catch (std::exception &e) {
        _VORNLogWithLevel(VORNLogError, VORN_LOG_SOURCE, "decodeOneVector", __LINE__, "%s", e.what());
    } catch (...) {
        _VORNLogWithLevel(VORNLogError, VORN_LOG_SOURCE, "decodeOneVector", __LINE__, "decode fail");
    }
    return false;
}

bool RecordCoder::decodeOneVector(std::vector<bool> &result) {
    return decodeNumbers(result, pbBoolSize(), [](CodedInputData &input) { return input.readBool(); });
}

bool RecordCoder::decodeOneVector(std::vector<int32_t> &result) {
    return decodeNumbers(result, 0, [](CodedInputData &input) { return input.readInt32(); });
}

bool RecordCoder::decodeOneVector(std::vector<uint32_t> &result) {
    return decodeNumbers(result, 0, [](CodedInputData &input) { return input.readUInt32(); });
}

bool RecordCoder::decodeOneVector(std::vector<int64_t> &result) {
    return decodeNumbers(result, 0, [](CodedInputData &input) { return input.readInt64(); });
}

bool RecordCoder::decodeOneVector(std::vector<uint64_t> &result) {
    return decodeNumbers(result, 0, [](CodedInputData &input) { return input.readUInt64(); });
}

bool RecordCoder::decodeOneVector(std::vector<float> &result) {
    return decodeNumbers(result, pbFloatSize(), [](CodedInputData &input) { return input.readFloat(); });
}

bool RecordCoder::decodeOneVector(std::vector<double> &result) {
    return decodeNumbers(result, pbDoubleSize(), [](CodedInputData &input) { return input.readDouble(); });
}

template <typename Map, typename Reader> void RecordCoder::decodeRecords(Map &dic, Reader &input, size_t position) {
    if (position == 0) {
        input.readInt32(); // the item-size holder
    } else {
        input.seek(position);
    }
    while (!input.reachedEnd()) {
        typename Map::mapped_type kv;
        // A plain index keeps no key of its own: the key is borrowed.
        auto key = [&] {
            if constexpr (std::is_same_v<Map, PlainIndex>) {
                return input.readStringView(kv);
            } else {
                return input.readString(kv);
            }
        }();
        if (key.empty()) {
            // Writers never produce an empty key; what follows is read as the
            // next record, as every reader of the format does.
            continue;
        }
        input.readData(kv);
        if (valueSizeOf(kv) != 0) {
            dic.insert_or_assign(std::move(key), std::move(kv));
        } else {
            dic.erase(key);
        }
    }
}

namespace {

// How many entries a decode of a plain stream from `position` reserves,
// from a count of its records that reads only their length prefixes (the
// value bytes are skipped, not touched), up to the first record that does
// not read (the decode reports that one).
//
// A decode into an empty table reserves half of them: a growth at a million
// keys moves every slot to a random place, but dead records (a compaction
// waits until they take as many bytes as the live ones) would double a table
// sized by the count. Half grows at most once, and sizes a table whose
// stream is half dead exactly. Never more than one entry per
// kReserveBytesPerRecord bytes: a file of tiny records, most of them dead,
// must not make a load reserve several times its own size.
size_t plainReservation(const VornBuffer &source, size_t position) {
    const size_t bytes = position < source.size() ? source.size() - position : 0;
    CodedInputData input(source.data(), source.size());
    size_t count = 0;
    try {
        if (position == 0) {
            input.readInt32(); // the item-size holder
        } else {
            input.seek(position);
        }
        IndexEntry kv;
        while (!input.reachedEnd()) {
            input.readStringView(kv);
            input.readData(kv);
            count++;
        }
    } catch (...) {
    }
    return std::min(count / 2, bytes / kReserveBytesPerRecord);
}

template <typename Map> void reserveForStream(Map &dic, const VornBuffer *source, size_t position) {
    const size_t size = source ? source->size() : 0;
    const size_t bytes = position < size ? size - position : 0;
    dic.reserve(std::max(dic.size(), bytes / kReserveBytesPerRecord));
}

} // namespace

bool RecordCoder::decodeOneMap(VORNMap &dic, size_t position, bool greedy) {
    try {
        CodedInputData &input = reader();
        // The table is sized from a count of the records (a reservation from
        // the stream's length would overshoot by the value sizes). A table
        // bound to a mapping reads keys there (the engine decodes the mapped
        // stream itself); any other reads them in the buffer decoded now.
        const auto *base = m_source ? static_cast<const uint8_t *>(m_source->data()) : nullptr;
        if (!dic.boundToMapping()) {
            dic.bindStream(base);
        }
        if (greedy) {
            if (dic.empty() && m_source) {
                dic.reserve(plainReservation(*m_source, position));
            }
            decodeRecords(dic, input, position);
        } else {
            VORNMap fresh;
            fresh.bindStream(base);
            if (m_source) {
                fresh.reserve(plainReservation(*m_source, position));
            }
            decodeRecords(fresh, input, position);
            dic.swap(fresh);
        }
        return true;
    } catch (std::exception &e) {
        VORNError("%s", e.what());
    } catch (...) {
        VORNError("decode fail");
    }
    return false;
}

bool RecordCoder::decodeOneMap(VORNMapCrypt &dic, size_t position, bool greedy) {
    try {
        if (!m_cryptReader) {
            throw std::logic_error("RecordCoder: not a decoder of an encrypted stream");
        }
        if (greedy) {
            if (dic.empty()) {
                reserveForStream(dic, m_source, position);
            }
            decodeRecords(dic, *m_cryptReader, position);
        } else {
            VORNMapCrypt fresh;
            fresh.max_load_factor(dic.max_load_factor());
            reserveForStream(fresh, m_source, position);
            decodeRecords(fresh, *m_cryptReader, position);
            dic.swap(fresh);
        }
        return true;
    } catch (std::exception &e) {
        VORNError("%s", e.what());
    } catch (...) {
        VORNError("decode fail");
    }
    return false;
}

namespace {

// The decoder is built inside the try: building an encrypted stream's reader
// allocates, and map decoding reports failures by its result.
template <typename Map, typename... Crypter>
bool decodeMapWith(Map &dic, const VornBuffer &input, size_t position, bool greedy, Crypter... crypter) {
    try {
        RecordCoder decoder(&input, crypter...);
        return decoder.decodeOneMap(dic, position, greedy);
    } catch (std::exception &e) {
        _VORNLogWithLevel(VORNLogError, VORN_LOG_SOURCE, "decodeOneMap", __LINE__, "%s", e.what());
    } catch (...) {
        _VORNLogWithLevel(VORNLogError, VORN_LOG_SOURCE, "decodeOneMap", __LINE__, "decode fail");
    }
    return false;
}

} // namespace

bool RecordCoder::decodeMap(VORNMap &dic, const VornBuffer &input, size_t position) {
    return decodeMapWith(dic, input, position, false);
}

bool RecordCoder::greedyDecodeMap(VORNMap &dic, const VornBuffer &input, size_t position) {
    return decodeMapWith(dic, input, position, true);
}

bool RecordCoder::decodeMap(VORNMapCrypt &dic, const VornBuffer &input, AESCrypt *crypter, size_t position) {
    if (!crypter) {
        VORNError("no cipher for an encrypted stream");
        return false;
    }
    return decodeMapWith(dic, input, position, false, crypter);
}

bool RecordCoder::greedyDecodeMap(VORNMapCrypt &dic, const VornBuffer &input, AESCrypt *crypter, size_t position) {
    if (!crypter) {
        VORNError("no cipher for an encrypted stream");
        return false;
    }
    return decodeMapWith(dic, input, position, true, crypter);
}

} // namespace vorn
