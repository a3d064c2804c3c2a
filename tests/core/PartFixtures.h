#pragma once

// Small fixtures for the tests of the engine's parts (DataStream, MetaRecord,
// KeyIndex, Loader, Compactor) used on their own, without a store: a fresh
// directory per test, data files spelled byte by byte, and byte-string
// conversions. Record streams are spelled with recordstream::StreamBuilder.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "StoreTestSupport.h"
#include "core/KeyIndex.h"
#include "encoding/RecordStream.h"
#include "encoding/VornBuffer.h"
#include "platform/MemoryFile.h"

namespace parts {

using Bytes = recordstream::Bytes;

inline std::string text(const Bytes &bytes) {
    return std::string(bytes.begin(), bytes.end());
}

inline Bytes bytesOf(const std::string &text) {
    return Bytes(text.begin(), text.end());
}

// The bytes of a data file: the legacy size field, the stream, then zeros up
// to `fileSize` bytes.
inline std::string dataFileBytes(uint32_t legacySize, const Bytes &stream, size_t fileSize) {
    std::string bytes = vorn_test::le32(legacySize) + text(stream);
    bytes.resize(fileSize, '\0');
    return bytes;
}

// Every key of an index and its value bytes, read as the store reads them
// (plain values from `stream`, values kept by position decrypted with `cipher`).
using Contents = std::map<std::string, std::string>;
inline Contents contentsOf(const vorn::KeyIndex &index, uint8_t *stream, vorn::AESCrypt *cipher) {
    Contents out;
    index.forEachValue(stream, cipher, [&](const std::string &key, const vorn::VornBuffer &value) {
        out[key] = std::string(static_cast<const char *>(value.data()), value.size());
    });
    return out;
}

// A test with a directory of its own; `page` is the mapping unit every file
// length is rounded up to.
class PartTest : public ::testing::Test {
protected:
    void SetUp() override { page = vorn::initializeDefaultMmapSize(); }

    std::string path(const std::string &name) const { return m_dir.path() + "/" + name; }

    size_t page = 0;
    // Log lines of the parts, kept out of the test output; the damage
    // questions are answered "discard" unless a test passes its own answer.
    recordstream::LogCapture log;

private:
    vorn_test::TempDir m_dir;
};

} // namespace parts
