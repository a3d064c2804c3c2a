/* The library's C interface, used from C: opens the shared "preferences"
 * store under the directory given, writes a string, reads it back. */
#include <stdio.h>

#include "capi/corvane_vorn.h"

int main(int argc, char **argv) {
    const char *root = argc > 1 ? argv[1] : "./demo-data/c-interface";
    void *handle = remote_vorn_open(root);
    if (!handle) {
        fprintf(stderr, "remote_vorn_open(\"%s\") failed\n", root);
        return 1;
    }
    char *previous = remote_vorn_get(handle, "greeting");
    printf("remote_vorn_open(\"%s\") -> store \"preferences\"\n", root);
    printf("remote_vorn_get(\"greeting\") before writing = %s%s%s\n", previous ? "\"" : "",
           previous ? previous : "NULL (first run)", previous ? "\"" : "");
    remote_vorn_free(previous);

    int stored = remote_vorn_set(handle, "greeting", "hello from C");
    char *greeting = remote_vorn_get(handle, "greeting");
    char *missing = remote_vorn_get(handle, "no-such-key");
    printf("remote_vorn_set(\"greeting\", \"hello from C\") = %d (stored and flushed)\n", stored);
    printf("remote_vorn_get(\"greeting\") = \"%s\"\n", greeting ? greeting : "(null)");
    printf("remote_vorn_get(\"no-such-key\") = %s\n", missing ? missing : "NULL");
    remote_vorn_free(greeting);
    remote_vorn_free(missing);
    return stored == 1 ? 0 : 1;
}
