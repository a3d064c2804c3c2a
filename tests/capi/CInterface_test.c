/*
 * The C interface as a host uses it: written in C, linked against the shared
 * library. Covers opening (files, directories, one handle per directory),
 * reading and writing strings, the failure answers, silence on standard
 * output, concurrent first opens in a fresh process, and a second process
 * sharing one root.
 *
 *   CInterface_test              run everything
 *   CInterface_test --peer ROOT  (internal) the second process
 *   CInterface_test --threads ROOT  (internal) concurrent first opens
 *
 * Results go to standard error; exit status 0 when every check held.
 */
#define _XOPEN_SOURCE 700

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "capi/corvane_vorn.h"

extern char **environ;

static int g_failures = 0;

#define CHECK(condition)                                                                                               \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);                              \
            g_failures++;                                                                                              \
        }                                                                                                              \
    } while (0)

/* A get that must return `expected` (or null when expected is null). */
#define CHECK_GET(handle, key, expected)                                                                               \
    do {                                                                                                               \
        char *got_ = remote_vorn_get((handle), (key));                                                                 \
        const char *want_ = (expected);                                                                                \
        if (want_ == NULL ? got_ != NULL : (got_ == NULL || strcmp(got_, want_) != 0)) {                               \
            fprintf(stderr, "%s:%d: get(\"%s\") returned %s%s%s, expected %s%s%s\n", __FILE__, __LINE__, (key),        \
                    got_ ? "\"" : "", got_ ? got_ : "NULL", got_ ? "\"" : "", want_ ? "\"" : "",                       \
                    want_ ? want_ : "NULL", want_ ? "\"" : "");                                                        \
            g_failures++;                                                                                              \
        }                                                                                                              \
        remote_vorn_free(got_);                                                                                        \
    } while (0)

static char g_base[PATH_MAX];
static const char *g_self;

/* out = dir + "/" + name, or the test stops: a cut path would test the wrong file. */
static void format(char *out, size_t size, const char *pattern, const char *text) {
    int n = snprintf(out, size, pattern, text);
    if (n < 0 || (size_t)n >= size) {
        fprintf(stderr, "path too long: %s\n", text);
        exit(2);
    }
}

static void join(char *out, const char *dir, const char *name) {
    char pattern[PATH_MAX];
    format(pattern, sizeof(pattern), "%s/", dir);
    size_t used = strlen(pattern);
    format(out, PATH_MAX, "%s", pattern);
    format(out + used, PATH_MAX - used, "%s", name);
}

static int isDirectory(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

static int isRegularFile(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

static long sizeOf(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 ? (long)st.st_size : -1;
}

/* Whether the file at path contains the `length` bytes at needle. */
static int fileContains(const char *path, const char *needle, size_t length) {
    FILE *f = fopen(path, "rb");
    if (!f) {
        return 0;
    }
    static char content[1 << 20];
    size_t n = fread(content, 1, sizeof(content), f);
    fclose(f);
    for (size_t i = 0; i + length <= n; i++) {
        if (memcmp(content + i, needle, length) == 0) {
            return 1;
        }
    }
    return 0;
}

/* Starts this program again with `mode` and `root`; returns its exit status
 * (-1 when it could not be started or did not exit normally). */
static int runSelf(const char *mode, const char *root) {
    char *argv[] = {(char *)g_self, (char *)mode, (char *)root, NULL};
    pid_t pid;
    if (posix_spawn(&pid, g_self, NULL, NULL, argv, environ) != 0) {
        return -1;
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

/* ---- The second process ---- */

static int peerMain(const char *root) {
    void *handle = remote_vorn_open(root);
    CHECK(handle != NULL);
    CHECK_GET(handle, "from-parent", "written by the parent");
    CHECK(remote_vorn_set(handle, "from-child", "written by the child") == 1);
    CHECK(remote_vorn_set(handle, "shared", "child's value") == 1);
    return g_failures == 0 ? 0 : 1;
}

/* ---- Concurrent first opens ---- */

#define kThreads 8

struct ThreadWork {
    const char *root;
    int index;
    void *handle;
    int stored;
};

static void *threadMain(void *argument) {
    struct ThreadWork *work = argument;
    work->handle = remote_vorn_open(work->root);
    char key[32];
    char value[32];
    snprintf(key, sizeof(key), "thread-%d", work->index);
    snprintf(value, sizeof(value), "value-%d", work->index);
    work->stored = work->handle != NULL && remote_vorn_set(work->handle, key, value) == 1;
    return NULL;
}

static int threadsMain(const char *root) {
    pthread_t threads[kThreads];
    struct ThreadWork work[kThreads];
    for (int i = 0; i < kThreads; i++) {
        work[i].root = root;
        work[i].index = i;
        work[i].handle = NULL;
        work[i].stored = 0;
        CHECK(pthread_create(&threads[i], NULL, threadMain, &work[i]) == 0);
    }
    for (int i = 0; i < kThreads; i++) {
        pthread_join(threads[i], NULL);
    }
    for (int i = 0; i < kThreads; i++) {
        CHECK(work[i].handle != NULL);
        CHECK(work[i].handle == work[0].handle);
        CHECK(work[i].stored);
        char key[32];
        char value[32];
        snprintf(key, sizeof(key), "thread-%d", i);
        snprintf(value, sizeof(value), "value-%d", i);
        CHECK_GET(work[0].handle, key, value);
    }
    return g_failures == 0 ? 0 : 1;
}

/* ---- The cases ---- */

static void *openingCreatesTheRootAndItsFiles(const char *root) {
    void *handle = remote_vorn_open(root);
    CHECK(handle != NULL);
    char path[PATH_MAX];
    CHECK(isDirectory(root));
    join(path, root, "preferences");
    CHECK(isRegularFile(path));
    CHECK(sizeOf(path) > 0);
    CHECK(sizeOf(path) % sysconf(_SC_PAGESIZE) == 0);
    join(path, root, "preferences.crc");
    CHECK(isRegularFile(path));
    join(path, root, "specialCharacter");
    CHECK(isDirectory(path));
    return handle;
}

static void everySpellingOfOneDirectoryGivesOneHandle(void *handle, const char *root) {
    char path[PATH_MAX];
    format(path, sizeof(path), "%s/", root);
    CHECK(remote_vorn_open(path) == handle);
    format(path, sizeof(path), "%s/.//", root);
    CHECK(remote_vorn_open(path) == handle);

    char cwd[PATH_MAX];
    CHECK(getcwd(cwd, sizeof(cwd)) != NULL);
    CHECK(chdir(g_base) == 0);
    CHECK(remote_vorn_open("nested/dirs/root") == handle);
    CHECK(remote_vorn_open("./nested/dirs/../dirs/root/") == handle);
    CHECK(chdir(cwd) == 0);

    char other[PATH_MAX];
    join(other, g_base, "other-root");
    void *second = remote_vorn_open(other);
    CHECK(second != NULL);
    CHECK(second != handle);
    /* Two roots, two stores. */
    CHECK(remote_vorn_set(second, "only-here", "x") == 1);
    CHECK_GET(handle, "only-here", NULL);
    CHECK_GET(second, "only-here", "x");
}

static void stringsAreStoredAndReadBack(void *handle, const char *root) {
    CHECK(remote_vorn_set(handle, "greeting", "hello") == 1);
    CHECK_GET(handle, "greeting", "hello");
    CHECK(remote_vorn_set(handle, "greeting", "hello again") == 1);
    CHECK_GET(handle, "greeting", "hello again");
    /* UTF-8 and other bytes pass as they are. */
    CHECK(remote_vorn_set(handle, "k\xC3\xA9y", "v\xE2\x82\xAC\x01") == 1);
    CHECK_GET(handle, "k\xC3\xA9y", "v\xE2\x82\xAC\x01");

    /* A set is on disk when it returns: the record (key 08 "greeting",
     * value length 0C, value 0B "hello again") is in the data file. */
    char path[PATH_MAX];
    join(path, root, "preferences");
    static const char record[] = "\x08greeting\x0C\x0Bhello again";
    CHECK(fileContains(path, record, sizeof(record) - 1));
}

static void theEmptyStringIsAValue(void *handle) {
    CHECK(remote_vorn_set(handle, "empty", "") == 1);
    char *value = remote_vorn_get(handle, "empty");
    CHECK(value != NULL);
    if (value) {
        CHECK(value[0] == '\0');
    }
    remote_vorn_free(value);
}

static void failuresAnswerNullOrZero(void *handle) {
    CHECK(remote_vorn_set(handle, "", "v") == 0);
    CHECK_GET(handle, "", NULL);
    CHECK_GET(handle, "never-written", NULL);
    remote_vorn_free(NULL);

    CHECK(remote_vorn_get(NULL, "greeting") == NULL);
    CHECK(remote_vorn_set(NULL, "greeting", "v") == 0);
    CHECK(remote_vorn_open(NULL) == NULL);
    CHECK(remote_vorn_get(handle, NULL) == NULL);
    CHECK(remote_vorn_set(handle, NULL, "v") == 0);
    CHECK(remote_vorn_set(handle, "greeting", NULL) == 0);
    CHECK_GET(handle, "greeting", "hello again");
}

static void keysUpToTheLimit(void *handle) {
    static char key[65533];
    memset(key, 'k', 65532);
    key[65532] = '\0';
    CHECK(remote_vorn_set(handle, key, "too long") == 0);
    key[65531] = '\0';
    CHECK(remote_vorn_set(handle, key, "longest") == 1);
    CHECK_GET(handle, key, "longest");
}

static void aRootThatCannotHoldFilesRefusesWrites(void) {
    char file[PATH_MAX];
    char root[PATH_MAX];
    join(file, g_base, "plain-file");
    int fd = open(file, O_CREAT | O_WRONLY | O_TRUNC, 0600);
    CHECK(fd >= 0);
    if (fd >= 0) {
        close(fd);
    }
    join(root, file, "root");
    void *handle = remote_vorn_open(root); /* a handle on unusable files, or null */
    CHECK(remote_vorn_set(handle, "k", "v") == 0);
    CHECK(remote_vorn_get(handle, "k") == NULL);
}

static void secondProcessSharesTheRoot(void *handle, const char *root) {
    CHECK(remote_vorn_set(handle, "from-parent", "written by the parent") == 1);
    CHECK(remote_vorn_set(handle, "shared", "parent's value") == 1);
    CHECK(runSelf("--peer", root) == 0);
    /* This process's handle sees what the other one wrote. */
    CHECK_GET(handle, "from-child", "written by the child");
    CHECK_GET(handle, "shared", "child's value");
    CHECK(remote_vorn_set(handle, "shared", "parent again") == 1);
    CHECK_GET(handle, "shared", "parent again");
}

static void concurrentFirstOpensInAFreshProcess(void) {
    char root[PATH_MAX];
    join(root, g_base, "threads-root");
    CHECK(runSelf("--threads", root) == 0);
    void *handle = remote_vorn_open(root);
    CHECK_GET(handle, "thread-7", "value-7");
}

int main(int argc, char **argv) {
    g_self = argv[0];
    if (argc == 3 && strcmp(argv[1], "--peer") == 0) {
        return peerMain(argv[2]);
    }
    if (argc == 3 && strcmp(argv[1], "--threads") == 0) {
        return threadsMain(argv[2]);
    }

    const char *tmp = getenv("TMPDIR");
    format(g_base, sizeof(g_base), "%s/vorn-capi-XXXXXX", tmp && *tmp ? tmp : "/tmp");
    if (!mkdtemp(g_base)) {
        fprintf(stderr, "mkdtemp: %s\n", strerror(errno));
        return 1;
    }
    char canonical[PATH_MAX];
    if (realpath(g_base, canonical)) {
        format(g_base, sizeof(g_base), "%s", canonical);
    }

    /* Everything below runs with standard output going to a file, which must
     * stay empty: the first open silences the library. */
    char capture[PATH_MAX];
    join(capture, g_base, "stdout.txt");
    fflush(stdout);
    int savedStdout = dup(STDOUT_FILENO);
    int captureFd = open(capture, O_CREAT | O_WRONLY | O_TRUNC, 0600);
    CHECK(savedStdout >= 0 && captureFd >= 0);
    dup2(captureFd, STDOUT_FILENO);

    char root[PATH_MAX];
    join(root, g_base, "nested/dirs/root");
    void *handle = openingCreatesTheRootAndItsFiles(root);
    if (handle) {
        everySpellingOfOneDirectoryGivesOneHandle(handle, root);
        stringsAreStoredAndReadBack(handle, root);
        theEmptyStringIsAValue(handle);
        failuresAnswerNullOrZero(handle);
        keysUpToTheLimit(handle);
        secondProcessSharesTheRoot(handle, root);
    }
    aRootThatCannotHoldFilesRefusesWrites();
    concurrentFirstOpensInAFreshProcess();

    fflush(stdout);
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);
    close(captureFd);
    CHECK(sizeOf(capture) == 0);
    if (sizeOf(capture) > 0) {
        fprintf(stderr, "the library printed to standard output (see %s)\n", capture);
    } else if (g_failures == 0) {
        char command[PATH_MAX + 16];
        format(command, sizeof(command), "rm -rf '%s'", g_base);
        if (system(command) != 0) {
            fprintf(stderr, "could not remove %s\n", g_base);
        }
    }
    fprintf(stderr, "%s: %d failed check(s)\n", g_failures == 0 ? "PASSED" : "FAILED", g_failures);
    return g_failures == 0 ? 0 : 1;
}
