/* kestrel_util: the command-line utility of libkestrel_api.so.1. The utility itself is the
 * main the library exports (-s serial number, -u firmware update, -r nothing, -c one
 * standard capture); this program answers --version and hands everything else to it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "kestrelapi.h"

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        uint32_t major = 0, minor = 0, patch = 0;
        if (kestrelapi_get_library_version(&major, &minor, &patch) != OHWAPI_OK) return 1;
        printf("kestrel_util %u.%u.%u\n", major, minor, patch);
        return 0;
    }
    /* The next definition of main after this program's: the library's. */
    int (*utility)(int, char**) = (int (*)(int, char**))dlsym(RTLD_NEXT, "main");
    if (utility == NULL) {
        fprintf(stderr, "kestrel_util: libkestrel_api.so.1 exports no main\n");
        return 1;
    }
    return utility(argc, argv);
}
