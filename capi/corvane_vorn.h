#ifndef CORVANE_VORN_C_H
#define CORVANE_VORN_C_H

/*
 * The library's C interface: one shared string store ("preferences") per root
 * directory, opened for use by several processes at once.
 *
 * - Handles belong to the library and stay valid until the process ends;
 *   there is no close.
 * - Keys and values are NUL-terminated; a value cannot contain a NUL byte.
 *   A null handle, root, key or value is answered with the failure result.
 * - A string returned by remote_vorn_get belongs to the caller: give it back
 *   with remote_vorn_free.
 * - Nothing is reported through errno or messages: null or 0 is the only
 *   failure signal. The first remote_vorn_open silences the library's log.
 * - All four functions may be called from any thread. Don't use a handle in a
 *   child after fork(); open the root again in the child.
 */

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) || defined(__clang__)
#define CORVANE_VORN_C_EXPORT __attribute__((visibility("default")))
#else
#define CORVANE_VORN_C_EXPORT
#endif

/* Opens (or finds) the store "preferences" under `rootDir` (absolute, or
 * relative to the working directory; created with missing parents). Every
 * spelling of one directory gives the same handle. Null on failure. */
CORVANE_VORN_C_EXPORT void *remote_vorn_open(const char *rootDir);

/* A newly allocated copy of the string stored under `key`, or null when the
 * key is empty, absent, expired or not a string. */
CORVANE_VORN_C_EXPORT char *remote_vorn_get(void *handle, const char *key);

/* Stores `value` under `key` and flushes it to disk. 1 when stored, 0 when
 * refused (empty key, key too long, store not writable). */
CORVANE_VORN_C_EXPORT int remote_vorn_set(void *handle, const char *key, const char *value);

/* Frees a string returned by remote_vorn_get; null is allowed. */
CORVANE_VORN_C_EXPORT void remote_vorn_free(char *value);

#ifdef __cplusplus
}
#endif

#endif /* CORVANE_VORN_C_H */
