// libFuzzer entry of one target, chosen at compile time (KESTREL_FUZZ_TARGET).
#include "targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return kestrel_fuzz::KESTREL_FUZZ_TARGET(data, size);
}
