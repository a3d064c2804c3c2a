#define VORN_LOG_SOURCE "VORN"

// The typed face of a store: turns booleans, numbers, strings, buffers and
// lists of strings into the value bytes the engine keeps, and back.
//
// Whether a value carries the 4-byte expiry time is decided only once the
// store is loaded and refreshed under the exclusive lock: before that, this
// object may not know yet that the files record expiry (first load), or that
// another process has just switched it. So setters encode the bare value
// without a lock (exact size, inline up to 16 bytes) and add the suffix under
// the lock.

#include "core/VORN.h"
#include "core/StoreEngine.h"

#include <cstring>
#include <exception>
#include <stdexcept>

#include "encoding/CodedInputData.h"
#include "encoding/CodedOutputData.h"
#include "encoding/PBUtility.h"
#include "encoding/RecordCoder.h"
#include "log/VORNLog.h"

using namespace vorn;

namespace {

// A scalar's value bytes, encoded into a room of the object's own (every
// scalar takes at most kMaxVarintSize bytes, so the writer never works near
// an end) and lent to the setter for the length of its call: the setter copies
// what it keeps.
class ScalarValue {
public:
    template <typename Write> explicit ScalarValue(Write write) : m_output(m_room, sizeof(m_room)) { write(m_output); }
    VornBuffer bytes() { return VornBuffer(m_room, m_output.getPosition(), VornBufferNoCopy); }

    ScalarValue(const ScalarValue &) = delete;
    ScalarValue &operator=(const ScalarValue &) = delete;

private:
    uint8_t m_room[kMaxVarintSize];
    CodedOutputData m_output;
};

// Logs a failed decode the way every getter does: the exception's text, or
// `fallback` for anything that is not a standard exception.
void logDecodeFailure(const char *function, int line, const std::exception *e, const char *fallback) {
    if (e) {
        _VORNLogWithLevel(VORNLogError, VORN_LOG_SOURCE, function, line, "%s", e->what());
    } else {
        _VORNLogWithLevel(VORNLogError, VORN_LOG_SOURCE, function, line, "%s", fallback);
    }
}

// Whether value bytes of `size` starting with the varint v are one
// length-delimited item (prefix + v payload bytes), in 64 bits so that no
// value size can wrap the sum.
bool isLengthDelimited(int32_t v, size_t size) {
    return v >= 0 && static_cast<uint64_t>(v) + pbRawVarint32Size(static_cast<uint32_t>(v)) == size;
}

} // namespace

// ---- Setters ----

bool VORN::set(bool value, std::string_view key) {
    return m_engine->setPlainValue(key, ScalarValue([&](CodedOutputData &o) { o.writeBool(value); }).bytes(), nullptr);
}

bool VORN::set(bool value, std::string_view key, uint32_t expireDuration) {
    return m_engine->setPlainValue(key, ScalarValue([&](CodedOutputData &o) { o.writeBool(value); }).bytes(), &expireDuration);
}

bool VORN::set(int32_t value, std::string_view key) {
    return m_engine->setPlainValue(key, ScalarValue([&](CodedOutputData &o) { o.writeInt32(value); }).bytes(), nullptr);
}

bool VORN::set(int32_t value, std::string_view key, uint32_t expireDuration) {
    return m_engine->setPlainValue(key, ScalarValue([&](CodedOutputData &o) { o.writeInt32(value); }).bytes(), &expireDuration);
}

bool VORN::set(uint32_t value, std::string_view key) {
    return m_engine->setPlainValue(key, ScalarValue([&](CodedOutputData &o) { o.writeUInt32(value); }).bytes(), nullptr);
}

bool VORN::set(uint32_t value, std::string_view key, uint32_t expireDuration) {
    return m_engine->setPlainValue(key, ScalarValue([&](CodedOutputData &o) { o.writeUInt32(value); }).bytes(), &expireDuration);
}

bool VORN::set(int64_t value, std::string_view key) {
    return m_engine->setPlainValue(key, ScalarValue([&](CodedOutputData &o) { o.writeInt64(value); }).bytes(), nullptr);
}

bool VORN::set(int64_t value, std::string_view key, uint32_t expireDuration) {
    return m_engine->setPlainValue(key, ScalarValue([&](CodedOutputData &o) { o.writeInt64(value); }).bytes(), &expireDuration);
}

bool VORN::set(uint64_t value, std::string_view key) {
    return m_engine->setPlainValue(key, ScalarValue([&](CodedOutputData &o) { o.writeUInt64(value); }).bytes(), nullptr);
}

bool VORN::set(uint64_t value, std::string_view key, uint32_t expireDuration) {
    return m_engine->setPlainValue(key, ScalarValue([&](CodedOutputData &o) { o.writeUInt64(value); }).bytes(), &expireDuration);
}

bool VORN::set(float value, std::string_view key) {
    return m_engine->setPlainValue(key, ScalarValue([&](CodedOutputData &o) { o.writeFloat(value); }).bytes(), nullptr);
}

bool VORN::set(float value, std::string_view key, uint32_t expireDuration) {
    return m_engine->setPlainValue(key, ScalarValue([&](CodedOutputData &o) { o.writeFloat(value); }).bytes(), &expireDuration);
}

bool VORN::set(double value, std::string_view key) {
    return m_engine->setPlainValue(key, ScalarValue([&](CodedOutputData &o) { o.writeDouble(value); }).bytes(), nullptr);
}

bool VORN::set(double value, std::string_view key, uint32_t expireDuration) {
    return m_engine->setPlainValue(key, ScalarValue([&](CodedOutputData &o) { o.writeDouble(value); }).bytes(), &expireDuration);
}

bool VORN::set(const char *value, std::string_view key) {
    if (!value) {
        const Status status = m_engine->removeForNullValue(key);
        m_engine->logRefusal(__func__, status);
        return status == Status::Ok;
    }
    return m_engine->setBytesValue(key, value, strlen(value), nullptr);
}

bool VORN::set(const char *value, std::string_view key, uint32_t expireDuration) {
    if (!value) {
        const Status status = m_engine->removeForNullValue(key);
        m_engine->logRefusal(__func__, status);
        return status == Status::Ok;
    }
    return m_engine->setBytesValue(key, value, strlen(value), &expireDuration);
}

bool VORN::set(const std::string &value, std::string_view key) {
    return m_engine->setBytesValue(key, value.data(), value.size(), nullptr);
}

bool VORN::set(const std::string &value, std::string_view key, uint32_t expireDuration) {
    return m_engine->setBytesValue(key, value.data(), value.size(), &expireDuration);
}

bool VORN::set(std::string_view value, std::string_view key) {
    return m_engine->setBytesValue(key, value.data(), value.size(), nullptr);
}

bool VORN::set(std::string_view value, std::string_view key, uint32_t expireDuration) {
    return m_engine->setBytesValue(key, value.data(), value.size(), &expireDuration);
}

bool VORN::set(const VornBuffer &value, std::string_view key) {
    return m_engine->setBytesValue(key, value.data(), value.size(), nullptr);
}

bool VORN::set(const VornBuffer &value, std::string_view key, uint32_t expireDuration) {
    return m_engine->setBytesValue(key, value.data(), value.size(), &expireDuration);
}

namespace {

// The list format; empty on failure (logged). An empty list is the byte 00.
VornBuffer encodeStringList(const std::vector<std::string> &value) {
    try {
        RecordCoder encoder;
        const size_t index = encoder.prepareObjectForEncode(VornSpan<std::string>(value));
        return encoder.writePreparedItems(index);
    } catch (std::length_error &e) {
        // A list longer than a length prefix can express.
        _VORNLogWithLevel(VORNLogError, VORN_LOG_SOURCE, "set", __LINE__, "%s", e.what());
        return VornBuffer();
    }
}

} // namespace

bool VORN::set(const std::vector<std::string> &value, std::string_view key) {
    if (key.empty()) {
        return false;
    }
    return m_engine->setPlainValue(key, encodeStringList(value), nullptr);
}

bool VORN::set(const std::vector<std::string> &value, std::string_view key, uint32_t expireDuration) {
    if (key.empty()) {
        return false;
    }
    return m_engine->setPlainValue(key, encodeStringList(value), &expireDuration);
}

// ---- Getters ----

namespace {

// Hands the stored bytes of `key`, read under the store's thread lock and
// shared process lock, to `decode`: the shape every decoding getter shares.
// False for an empty key, a missing value, or a `decode` that throws (logged
// under `function`'s name as the exception's text, or "decode fail").
template <typename Decode>
bool decodeStoredValue(StoreEngine &engine, std::string_view key, const char *function, Decode decode) {
    if (key.empty()) {
        return false;
    }
    return engine.withValue(key, [&](const VornBuffer &data) {
        if (data.size() == 0) {
            return false;
        }
        try {
            decode(data);
            return true;
        } catch (std::exception &e) {
            logDecodeFailure(function, __LINE__, &e, "decode fail");
        } catch (...) {
            logDecodeFailure(function, __LINE__, nullptr, "decode fail");
        }
        return false;
    });
}

// Reads one scalar from a store: `defaultValue` unless a value decodes.
template <typename T, typename Read>
T readScalar(StoreEngine &engine, std::string_view key, T defaultValue, bool *hasValue, const char *function,
             Read read) {
    T value = defaultValue;
    const bool found = decodeStoredValue(engine, key, function, [&](const VornBuffer &data) {
        CodedInputData input(data.data(), data.size());
        value = read(input);
    });
    if (hasValue) {
        *hasValue = found;
    }
    return found ? value : defaultValue;
}

} // namespace

bool VORN::getBool(std::string_view key, bool defaultValue, bool *hasValue) {
    return readScalar<bool>(*m_engine, key, defaultValue, hasValue, __func__,
                             [](CodedInputData &input) { return input.readBool(); });
}

int32_t VORN::getInt32(std::string_view key, int32_t defaultValue, bool *hasValue) {
    return readScalar<int32_t>(*m_engine, key, defaultValue, hasValue, __func__,
                             [](CodedInputData &input) { return input.readInt32(); });
}

uint32_t VORN::getUInt32(std::string_view key, uint32_t defaultValue, bool *hasValue) {
    return readScalar<uint32_t>(*m_engine, key, defaultValue, hasValue, __func__,
                             [](CodedInputData &input) { return input.readUInt32(); });
}

int64_t VORN::getInt64(std::string_view key, int64_t defaultValue, bool *hasValue) {
    return readScalar<int64_t>(*m_engine, key, defaultValue, hasValue, __func__,
                             [](CodedInputData &input) { return input.readInt64(); });
}

uint64_t VORN::getUInt64(std::string_view key, uint64_t defaultValue, bool *hasValue) {
    return readScalar<uint64_t>(*m_engine, key, defaultValue, hasValue, __func__,
                             [](CodedInputData &input) { return input.readUInt64(); });
}

float VORN::getFloat(std::string_view key, float defaultValue, bool *hasValue) {
    return readScalar<float>(*m_engine, key, defaultValue, hasValue, __func__,
                             [](CodedInputData &input) { return input.readFloat(); });
}

double VORN::getDouble(std::string_view key, double defaultValue, bool *hasValue) {
    return readScalar<double>(*m_engine, key, defaultValue, hasValue, __func__,
                             [](CodedInputData &input) { return input.readDouble(); });
}

bool VORN::getString(std::string_view key, std::string &result, bool inplaceModification) {
    return decodeStoredValue(*m_engine, key, __func__,
                             [&](const VornBuffer &data) {
                                 CodedInputData input(data.data(), data.size());
                                 if (inplaceModification) {
                                     input.readString(result); // leaves result as it was when it throws
                                 } else {
                                     result = input.readString();
                                 }
                             });
}

bool VORN::getBytes(std::string_view key, VornBuffer &result) {
    return decodeStoredValue(*m_engine, key, __func__,
                             [&](const VornBuffer &data) {
                                 CodedInputData input(data.data(), data.size());
                                 result = input.readData(true, false);
                             });
}

VornBuffer VORN::getBytes(std::string_view key) {
    VornBuffer result;
    if (!getBytes(key, result)) {
        return VornBuffer();
    }
    return result;
}

bool VORN::getVector(std::string_view key, std::vector<std::string> &result) {
    return decodeStoredValue(*m_engine, key, __func__,
                             [&](const VornBuffer &data) { result = RecordCoder::decodeVector(data); });
}

size_t VORN::getValueSize(std::string_view key, bool actualSize) {
    if (key.empty()) {
        return 0;
    }
    const char *function = __func__;
    return m_engine->withValue(key, [&](const VornBuffer &data) -> size_t {
        if (!actualSize) {
            return data.size();
        }
        try {
            CodedInputData input(data.data(), data.size());
            const int32_t v = input.readInt32();
            if (isLengthDelimited(v, data.size())) {
                return static_cast<size_t>(v);
            }
        } catch (std::exception &e) {
            logDecodeFailure(function, __LINE__, &e, "decode fail");
        } catch (...) {
            logDecodeFailure(function, __LINE__, nullptr, "decode fail");
        }
        return data.size();
    });
}

int32_t VORN::writeValueToBuffer(std::string_view key, void *ptr, int32_t size) {
    if (key.empty() || size < 0) {
        return -1;
    }
    const char *function = __func__;
    return m_engine->withValue(key, [&](const VornBuffer &data) -> int32_t {
        int32_t v = 0;
        try {
            CodedInputData input(data.data(), data.size());
            v = input.readInt32();
        } catch (std::exception &e) {
            logDecodeFailure(function, __LINE__, &e, "decode fail");
            return -1;
        } catch (...) {
            logDecodeFailure(function, __LINE__, nullptr, "decode fail");
            return -1;
        }
        if (v < 0) {
            return -1;
        }
        const auto bytes = static_cast<const uint8_t *>(data.data());
        if (isLengthDelimited(v, data.size())) {
            if (v > size) {
                return -1;
            }
            // The payload is the last v bytes: the prefix is measured by the
            // value it encodes, never by how many bytes its varint took.
            if (v > 0) {
                memcpy(ptr, bytes + (data.size() - static_cast<size_t>(v)), static_cast<size_t>(v));
            }
            return v;
        }
        if (data.size() > static_cast<size_t>(size)) {
            return -1;
        }
        memcpy(ptr, bytes, data.size());
        return static_cast<int32_t>(data.size());
    });
}
