/* A C host program: the four C functions, and the version header from C. */
#include <stdio.h>

#include "capi/corvane_vorn.h"
#include "log/VORNVersion.h"

int main(int argc, char **argv) {
    if (argc < 2) {
        return 2;
    }
    void *handle = remote_vorn_open(argv[1]);
    if (!handle || !remote_vorn_set(handle, "lang", "C")) {
        return 1;
    }
    char *value = remote_vorn_get(handle, "lang");
    printf("lang=%s version=%s\n", value ? value : "(null)", VORN_VERSION_STRING);
    remote_vorn_free(value);
    return 0;
}
