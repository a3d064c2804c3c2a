#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorn {

// A scratch file written front to back through an in-memory buffer, patched
// at fixed offsets and read back with pread. It exists for the store's rewrite
// journal: nothing maps it and nothing locks it (the store's own locks cover
// it).
//
// Ownership: owns its descriptor; the destructor closes it but never removes
// the file (remove() does). Not thread-safe. Every failure is logged with the
// path and errno and leaves the object usable only for close() and remove().
class JournalFile {
public:
    explicit JournalFile(std::string path);
    ~JournalFile();

    JournalFile(const JournalFile &) = delete;
    JournalFile &operator=(const JournalFile &) = delete;

    // Creates the file new (mode 0700 like the stores' own files), replacing
    // whatever is at the path: a leftover file or symbolic link is unlinked
    // first, and the create is exclusive and follows no link. False (logged)
    // when the path cannot be freed or the file cannot be made.
    bool create();
    // Opens an existing regular file for reading (openRegularFile: a symbolic
    // link, a FIFO or a directory is refused, logged). False without a message
    // when it does not exist.
    bool openForReading();
    bool isOpen() const { return m_fd >= 0; }

    // Appends through the buffer: nothing is on disk before flush() (or a
    // later append that fills the buffer).
    bool append(const void *bytes, size_t length);
    bool flush();
    // Flushes pending appends and waits until the file's bytes are on the
    // disk (fsync): what a power loss must not take.
    bool sync();
    // Writes at an absolute offset, unbuffered (flushes pending appends first).
    bool writeAt(uint64_t offset, const void *bytes, size_t length);
    // Reads exactly `length` bytes at `offset`; false on an error or a short file.
    bool readAt(uint64_t offset, void *bytes, size_t length) const;
    // Length on disk, or -1 (logged).
    int64_t size() const;

    void close();
    // Closes and unlinks. True when the file is gone (also when it never existed).
    bool remove();

    const std::string &path() const { return m_path; }
    // errno of the last failed create or write (0 while none failed), so that
    // a caller can tell a full disk from a failing one.
    int lastError() const { return m_lastError; }

private:
    std::string m_path;
    int m_fd = -1;
    int m_lastError = 0;
    uint64_t m_written = 0; // bytes appended and flushed
    std::vector<uint8_t> m_buffer;
};

} // namespace vorn
