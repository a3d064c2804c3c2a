/* A C host program built against the installed tree: the four C functions. */
#include <stdio.h>

#include "capi/corvane_vorn.h"

int main(int argc, char **argv) {
    if (argc < 2) {
        return 2;
    }
    void *handle = remote_vorn_open(argv[1]);
    if (!handle || !remote_vorn_set(handle, "lang", "C")) {
        return 1;
    }
    char *value = remote_vorn_get(handle, "lang");
    printf("lang=%s\n", value ? value : "(null)");
    remote_vorn_free(value);
    return 0;
}
