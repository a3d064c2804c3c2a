// Writes the seed corpora of the fuzz targets into DIR/<target>/ (usage:
// fuzz_seed_corpus DIR; scripts/fuzz.sh --seeds rewrites fuzz/corpus/).
// Every seed is made with the library's own encoders: item streams as a store
// writes them (a full write-back's pair list, or records appended one by one
// with overrides and removals), values in their stored encodings, lists, and
// the encrypted forms of the streams; whole stores (StoreLoad) are written by
// the store itself into a temporary root and taken from its files. Kept small:
// the fuzzer finds the rest.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "core/VORN.h"
#include "core/VORNMetaInfo.h"
#include "encoding/CodedOutputData.h"
#include "encoding/RecordCoder.h"

using namespace vorn;
using Bytes = std::vector<uint8_t>;

namespace {

std::filesystem::path g_root;
size_t g_written = 0;

void writeSeed(const std::string &target, const std::string &name, const Bytes &bytes) {
    const std::filesystem::path dir = g_root / target;
    std::filesystem::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        fprintf(stderr, "cannot write %s/%s\n", dir.c_str(), name.c_str());
        exit(1);
    }
    g_written++;
}

Bytes bytesOf(const VornBuffer &buffer) {
    auto p = static_cast<const uint8_t *>(buffer.data());
    return Bytes(p, p + buffer.size());
}

VornBuffer bufferOf(const std::string &text) {
    return VornBuffer(const_cast<char *>(text.data()), text.size(), VornBufferCopy);
}

VornBuffer bufferOf(const Bytes &bytes) {
    return VornBuffer(const_cast<uint8_t *>(bytes.data()), bytes.size(), VornBufferCopy);
}

Bytes concat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A real encoding with one byte replaced: the damaged forms readers meet.
Bytes damaged(Bytes bytes, size_t index, uint8_t value) {
    bytes.at(index) = value;
    return bytes;
}

Bytes pattern(size_t length, uint8_t seed) {
    Bytes out(length);
    for (size_t i = 0; i < length; i++) {
        out[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return out;
}

// ---- Values in their stored encodings ----

Bytes stringValue(const std::string &text) {
    return bytesOf(RecordCoder::encodeDataWithObject(bufferOf(text)));
}

template <typename Write> Bytes written(size_t size, Write write) {
    Bytes out(size);
    CodedOutputData writer(out.data(), out.size());
    write(writer);
    out.resize(writer.getPosition());
    return out;
}

Bytes int32Value(int32_t v) {
    return written(kMaxVarintSize, [v](CodedOutputData &w) { w.writeInt32(v); });
}
Bytes int64Value(int64_t v) {
    return written(kMaxVarintSize, [v](CodedOutputData &w) { w.writeInt64(v); });
}
Bytes boolValue(bool v) {
    return written(1, [v](CodedOutputData &w) { w.writeBool(v); });
}
Bytes doubleValue(double v) {
    return written(8, [v](CodedOutputData &w) { w.writeDouble(v); });
}

Bytes stringList(const std::vector<std::string> &values) {
    RecordCoder encoder;
    return bytesOf(encoder.writePreparedItems(encoder.prepareObjectForEncode(VornSpan<std::string>(values))));
}

template <typename T> Bytes numberList(const std::vector<T> &values) {
    RecordCoder encoder;
    return bytesOf(encoder.writePreparedItems(encoder.prepareObjectForEncode(VornSpan<T>(values))));
}

// ---- Item streams ----

using Pairs = std::vector<std::pair<std::string, Bytes>>;

// A full write-back: the pair list, whose container prefix is the stream's
// item-size holder.
Bytes writeBack(const Pairs &pairs) {
    std::vector<std::pair<std::string, VornBuffer>> buffers;
    for (const auto &[key, value] : pairs) {
        buffers.emplace_back(key, bufferOf(value));
    }
    RecordCoder encoder;
    return bytesOf(encoder.writePreparedItems(encoder.prepareObjectForEncode(buffers)));
}

// Records appended one by one after an item-size holder of `holderBytes`
// bytes; an empty value removes its key.
Bytes appended(const Pairs &records, size_t holderBytes = 4) {
    size_t size = kMaxVarintSize;
    for (const auto &[key, value] : records) {
        size += pbLengthDelimitedSize(key.size()) + pbLengthDelimitedSize(value.size());
    }
    return written(size, [&](CodedOutputData &w) {
        // The smallest number whose varint takes holderBytes bytes.
        w.writeUInt32(holderBytes <= 1 ? 0 : 1u << (7 * (holderBytes - 1)));
        for (const auto &[key, value] : records) {
            w.writeString(key);
            VornBuffer buffer = bufferOf(value);
            w.writeData(buffer);
        }
    });
}

Pairs typedValues() {
    return {{"name", stringValue("alice")},
            {"enabled", boolValue(true)},
            {"count", int32Value(42)},
            {"offset", int32Value(-7)},
            {"size", int64Value(1LL << 40)},
            {"ratio", doubleValue(0.25)},
            {"hosts", stringList({"localhost", "", "127.0.0.0/8"})}};
}

std::vector<std::pair<std::string, Bytes>> streams() {
    Pairs manySmall;
    for (int i = 0; i < 40; i++) {
        manySmall.push_back({"key" + std::to_string(i), int32Value(i * 1000)});
    }
    return {
        {"empty-holder-only", appended({}, 1)},
        {"empty-write-back", writeBack({})},
        {"typed-values-write-back", writeBack(typedValues())},
        {"typed-values-appended", appended(typedValues())},
        {"override-then-remove", appended({{"k", stringValue("first")},
                                           {"other", boolValue(false)},
                                           {"k", stringValue("second")},
                                           {"other", Bytes()},
                                           {"k", stringValue("third")}})},
        {"long-values",
         appended(
             {{"v256", pattern(256, 1)}, {"v257", pattern(257, 2)}, {"v300", stringValue(std::string(298, 'x'))}})},
        {"long-key", appended({{std::string(40, 'K'), stringValue("after a key longer than 32 bytes")},
                               {"short", boolValue(true)}})},
        {"many-small", writeBack(manySmall)},
        {"cut-short",
         [] {
             Bytes whole = appended(typedValues());
             whole.resize(whole.size() - 3);
             return whole;
         }()},
    };
}

std::vector<std::pair<std::string, Bytes>> lists() {
    return {
        {"strings", stringList({"a", "", "bc"})},
        {"strings-empty", stringList({})},
        {"int32", numberList<int32_t>({1, 300, -1, INT32_MIN, INT32_MAX})},
        {"uint32", numberList<uint32_t>({0, 127, 128, 0xFFFFFFFF})},
        {"int64", numberList<int64_t>({-2, INT64_MIN, INT64_MAX})},
        {"uint64", numberList<uint64_t>({1ull << 63, 5})},
        {"bool", bytesOf(RecordCoder::getEncodeData(std::vector<bool>{true, false, true}))},
        {"float", bytesOf(RecordCoder::getEncodeData(std::vector<float>{1.0f, -2.0f, 0.1f}))},
        {"double", bytesOf(RecordCoder::getEncodeData(std::vector<double>{1.0, -0.0, 3.5e300}))},
        {"wrapped-value", stringValue("a single wrapped value")},
        // The last byte of -1's ten-byte varint keeps its continuation bit.
        {"int32-malformed-varint", damaged(numberList<int32_t>({-1, 5}), 10, 0x81)},
    };
}

// A plaintext stream in the encrypted targets' form: header byte, then the
// plaintext, or the ciphertext of the fixed key.
Bytes encryptedInput(const Bytes &plain, bool aes256, bool cipherText, size_t startOffset) {
    Bytes body = plain;
    if (cipherText) {
        auto cipher = fuzzsupport::newCipher(aes256, startOffset);
        cipher->encrypt(plain.data(), body.data(), plain.size());
    }
    return concat({fuzzsupport::CryptHeader::encode(aes256, cipherText, startOffset)}, body);
}

struct CryptVariant {
    const char *name;
    bool aes256;
    bool cipherText;
    size_t startOffset;
};

const CryptVariant kCryptVariants[] = {
    {"aes128-plain", false, false, 0},
    {"aes256-cipher", true, true, 0},
    {"aes128-cipher-start5", false, true, 5},
    {"aes256-plain-start15", true, false, 15},
};

// CodedInputData: [steps][step bytes][region]; step = read | parameter << 4.
Bytes script(const Bytes &steps, const Bytes &region) {
    return concat(concat({static_cast<uint8_t>(steps.size())}, steps), region);
}

void codedInputDataSeeds() {
    enum : uint8_t {
        RawByte,
        Varint32,
        Bool,
        Varint64,
        Fixed32,
        Fixed64,
        String,
        StringInto,
        Data,
        Record,
        RecordKey,
        SkipValue,
        Seek,
        RealData,
        AtEnd
    };
    const Bytes typed = appended(typedValues());
    writeSeed("CodedInputData", "records", script({Varint32, Record, Record, Record, Record, AtEnd}, typed));
    writeSeed("CodedInputData", "record-steps",
              script({Varint32, RecordKey, SkipValue, RecordKey, SkipValue, RealData}, typed));
    writeSeed("CodedInputData", "strings",
              script({Varint32, String, StringInto, String, AtEnd}, stringList({"a", "", "bc"})));
    writeSeed("CodedInputData", "varints",
              script({Varint32, Varint32, Varint32 | 0x10, Varint64, Varint64 | 0x10, Bool},
                     numberList<int32_t>({1, 300, -1, INT32_MIN, INT32_MAX})));
    writeSeed(
        "CodedInputData", "malformed-varints",
        script({Varint32, Varint32, Seek | 0x20, Varint64}, concat(damaged(numberList<int32_t>({-1, 5}), 10, 0x81),
                                                                   damaged(numberList<int64_t>({-1, 5}), 10, 0x81))));
    writeSeed("CodedInputData", "int64",
              script({Varint32, Varint64, Varint64, Varint64 | 0x10}, numberList<int64_t>({-2, INT64_MIN, INT64_MAX})));
    writeSeed("CodedInputData", "fixed",
              script({Varint32, Fixed64, Fixed64 | 0x10, Fixed32, Fixed32 | 0x10, Seek | 0x20, RawByte},
                     concat(bytesOf(RecordCoder::getEncodeData(std::vector<double>{1.0, -2.5})),
                            bytesOf(RecordCoder::getEncodeData(std::vector<float>{1.0f})))));
    writeSeed("CodedInputData", "data",
              script({RealData, Data, Seek, Data | 0x10, Data | 0x20, Seek | 0xF0},
                     concat(stringValue("wrapped"), stringValue("copied"))));
}

void codedInputDataCryptSeeds() {
    enum : uint8_t { RawByte, Varint, VarintKeep, Int32, Record, Seek };
    for (const auto &[name, plain] : streams()) {
        for (const CryptVariant &v : kCryptVariants) {
            if (name != "typed-values-appended" && name != "long-values" && name != "many-small" &&
                v.startOffset != 0) {
                continue;
            }
            Bytes input = encryptedInput(plain, v.aes256, v.cipherText, v.startOffset);
            input.insert(input.begin() + 1, 0x00); // no script steps
            writeSeed("CodedInputDataCrypt", name + "-" + v.name, input);
        }
    }
    // A partial load's shape: seek over the holder and the first record, then records.
    const Bytes stream = appended({{"k", stringValue("first")}, {"long", pattern(300, 3)}, {"z", boolValue(true)}});
    const uint8_t firstRecordEnd = static_cast<uint8_t>(4 + pbLengthDelimitedSize(1) + stringValue("first").size() + 1);
    Bytes input = encryptedInput(stream, false, true, 3);
    const Bytes steps = {static_cast<uint8_t>(Seek | firstRecordEnd << 3), Record, Record, VarintKeep, RawByte};
    input.insert(input.begin() + 1, steps.begin(), steps.end());
    input.insert(input.begin() + 1, static_cast<uint8_t>(steps.size()));
    writeSeed("CodedInputDataCrypt", "seek-then-records", input);
    const Bytes mixed = {Varint, Record, Int32, RawByte, Record, VarintKeep};
    Bytes mixedInput = encryptedInput(appended(typedValues()), true, false, 9);
    mixedInput.insert(mixedInput.begin() + 1, mixed.begin(), mixed.end());
    mixedInput.insert(mixedInput.begin() + 1, static_cast<uint8_t>(mixed.size()));
    writeSeed("CodedInputDataCrypt", "mixed-steps", mixedInput);
}

// ---- Whole stores ----

Bytes fileBytes(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Without the zeros a file ends with (a writable store grows it back with
// zeros), but never shorter than `keep` bytes.
Bytes withoutZeroTail(Bytes bytes, size_t keep) {
    size_t end = bytes.size();
    while (end > keep && bytes[end - 1] == 0) {
        end--;
    }
    bytes.resize(end);
    return bytes;
}

// The store's two files in the StoreLoad form. The data file keeps at least
// the stream the meta record describes, so that a read-only open (which maps
// the file at its length) still finds it.
Bytes storeInput(const std::filesystem::path &root, const std::string &id, fuzzsupport::StoreLoadHeader header) {
    const Bytes meta = withoutZeroTail(fileBytes(root / (id + ".crc")), 0);
    uint32_t actualSize = 0;
    if (meta.size() >= offsetof(VORNMetaInfo, m_actualSize) + 4) {
        memcpy(&actualSize, meta.data() + offsetof(VORNMetaInfo, m_actualSize), 4);
    }
    const Bytes data = withoutZeroTail(fileBytes(root / id), 4 + actualSize);
    if (data.size() > 0xFFFF) {
        fprintf(stderr, "store %s too large for a seed\n", id.c_str());
        exit(1);
    }
    header.dataLength = static_cast<uint16_t>(data.size());
    return concat(concat(header.encode(), data), meta);
}

void typedValuesInto(VORN *store) {
    store->set(std::string("alice"), "name");
    store->set(true, "enabled");
    store->set(int32_t(42), "count");
    store->set(int64_t(1) << 40, "size");
    store->set(0.25, "ratio");
    store->set(std::vector<std::string>{"localhost", "", "127.0.0.0/8"}, "hosts");
}

void storeLoadSeeds() {
    using fuzzsupport::StoreLoadHeader;
    char pattern[] = "/tmp/vorn-seeds-XXXXXX";
    if (!mkdtemp(pattern)) {
        perror("mkdtemp");
        exit(1);
    }
    const std::filesystem::path root = pattern;
    const std::string rootText = root.string();
    VORN::initializeVORN(rootText, VORNLogNone);
    auto open = [&](const std::string &id, const std::string *key, bool aes256) {
        VORN *store = VORN::vornWithID(id, VORN_SINGLE_PROCESS, key, &rootText, 0, aes256);
        if (!store) {
            fprintf(stderr, "cannot open store %s\n", id.c_str());
            exit(1);
        }
        return store;
    };
    auto header = [](StoreLoadHeader::Cipher cipher, StoreLoadHeader::WriteKey writeKey, size_t valueSteps) {
        StoreLoadHeader h;
        h.cipher = cipher;
        h.writeKey = writeKey;
        h.valueLength = valueSteps * StoreLoadHeader::kValueStep;
        return h;
    };

    // Typed values appended one by one.
    VORN *plain = open("plain", nullptr, false);
    typedValuesInto(plain);
    plain->close();
    writeSeed("StoreLoad", "plain",
              storeInput(root, "plain", header(StoreLoadHeader::CipherPlain, StoreLoadHeader::WriteOwnKey, 3)));
    StoreLoadHeader readOnly = header(StoreLoadHeader::CipherPlain, StoreLoadHeader::WriteFirstKey, 1);
    readOnly.readOnly = true;
    writeSeed("StoreLoad", "plain-read-only", storeInput(root, "plain", readOnly));
    // A bit flipped in the last record (the list of hosts) and one in the
    // last confirmed CRC: neither state checks out, and the host answers
    // "recover".
    {
        StoreLoadHeader h = header(StoreLoadHeader::CipherPlain, StoreLoadHeader::WriteLastKey, 2);
        h.recover = true;
        Bytes input = storeInput(root, "plain", h);
        const size_t dataLength = input[2] | input[3] << 8;
        input.at(StoreLoadHeader::kSize + dataLength - 20) ^= 0x40;
        input.at(StoreLoadHeader::kSize + dataLength + offsetof(VORNMetaInfo, m_lastConfirmedMetaInfo) + 4) ^= 0x01;
        writeSeed("StoreLoad", "plain-damaged-recover", input);
    }

    // Overrides and removals; some keys removed by one rewrite (a compaction:
    // new sequence and last confirmed state), then more appended.
    VORN *edited = open("edited", nullptr, false);
    typedValuesInto(edited);
    edited->set(std::string("bob"), "name");
    edited->removeValueForKey("enabled");
    edited->set(int32_t(43), "count");
    edited->removeValuesForKeys({"size", "ratio"});
    edited->set(std::string("after the compaction"), "note");
    edited->removeValueForKey("count");
    edited->close();
    StoreLoadHeader multi = header(StoreLoadHeader::CipherPlain, StoreLoadHeader::WriteFirstKey, 2);
    multi.multiProcess = true;
    writeSeed("StoreLoad", "edited-multi-process", storeInput(root, "edited", multi));

    // Encrypted: AES-128 with appends, AES-256 after a compaction.
    VORN *aes128 = open("aes128", &fuzzsupport::kStoreKey128, false);
    typedValuesInto(aes128);
    aes128->set(std::string(300, 'v'), "long value held by position");
    aes128->close();
    writeSeed("StoreLoad", "aes128",
              storeInput(root, "aes128", header(StoreLoadHeader::CipherAES128, StoreLoadHeader::WriteLastKey, 4)));
    writeSeed("StoreLoad", "aes128-wrong-key",
              storeInput(root, "aes128", header(StoreLoadHeader::CipherWrongKey, StoreLoadHeader::WriteOwnKey, 1)));
    VORN *aes256 = open("aes256", &fuzzsupport::kStoreKey256, true);
    typedValuesInto(aes256);
    aes256->removeValuesForKeys({"count", "hosts"});
    aes256->set(std::string("appended after the compaction"), "note");
    aes256->close();
    writeSeed("StoreLoad", "aes256-compacted",
              storeInput(root, "aes256", header(StoreLoadHeader::CipherAES256, StoreLoadHeader::WriteFirstKey, 61)));

    // Expiry on: values carry their expiry times (never, and in a year).
    VORN *expiring = open("expiring", nullptr, false);
    expiring->enableAutoKeyExpire(0);
    typedValuesInto(expiring);
    expiring->set(std::string("for a year"), "yearly", 365u * 24 * 3600);
    expiring->close();
    StoreLoadHeader expiryOn = header(StoreLoadHeader::CipherPlain, StoreLoadHeader::WriteOwnKey, 2);
    expiryOn.expiry = StoreLoadHeader::ExpiryOn;
    writeSeed("StoreLoad", "expiring", storeInput(root, "expiring", expiryOn));
    StoreLoadHeader expiryOff = expiryOn;
    expiryOff.expiry = StoreLoadHeader::ExpiryOff;
    expiryOff.writeKey = StoreLoadHeader::WriteFirstKey;
    writeSeed("StoreLoad", "expiring-switched-off", storeInput(root, "expiring", expiryOff));

    // Empty: written once, then cleared.
    VORN *empty = open("empty", nullptr, false);
    empty->set(true, "gone");
    empty->clearAll();
    empty->close();
    writeSeed("StoreLoad", "empty",
              storeInput(root, "empty", header(StoreLoadHeader::CipherPlain, StoreLoadHeader::WriteOwnKey, 0)));

    std::filesystem::remove_all(root);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    g_root = argv[1];

    for (const auto &[name, stream] : streams()) {
        writeSeed("DecodeMap", name, stream);
        for (const CryptVariant &v : kCryptVariants) {
            writeSeed("DecodeMapCrypt", name + "-" + v.name,
                      encryptedInput(stream, v.aes256, v.cipherText, v.startOffset));
        }
    }
    for (const auto &[name, list] : lists()) {
        writeSeed("DecodeList", name, list);
    }
    codedInputDataSeeds();
    codedInputDataCryptSeeds();
    storeLoadSeeds();
    printf("%zu seeds written to %s\n", g_written, g_root.c_str());
    return 0;
}
