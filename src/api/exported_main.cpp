// The library's own entry point: a program linked with libkestrel_api.so.1 and no main of
// its own runs the utility. Kept out of the object library so that the test binaries
// keep theirs.
#include "api/util_main.h"
#include "kestrelapi.h"

KESTRELAPI_EXPORT int main(int argc, char** argv) {
    return api_utils::util_main(argc, argv);
}
