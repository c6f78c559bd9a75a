/* Opens the first KESTREL device on the bus, prints its firmware versions and closes it. */
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "kestrelapi.h"

static void sleep_ms(long ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        uint32_t major = 0, minor = 0, patch = 0;
        kestrelapi_get_library_version(&major, &minor, &patch);
        printf("kestrel_handle_demo %u.%u.%u\n", major, minor, patch);
        return 0;
    }
    kestrelapi_handle h = NULL;
    ohwapi_err_code_t rc = kestrelapi_create_new_handle(&h, kestrel_one);
    if (rc != OHWAPI_OK) {
        fprintf(stderr, "create_new_handle failed: %d\n", (int)rc);
        return 1;
    }
    rc = kestrelapi_device_open_first(h);
    if (rc != OHWAPI_OK) {
        fprintf(stderr, "no device opened: %d\n", (int)rc);
        kestrelapi_free(h);
        return 1;
    }
    uint8_t mcu_major = 0, mcu_minor = 0, fpga_major = 0, fpga_minor = 0;
    kestrelapi_get_mcu_version_major(h, &mcu_major);
    kestrelapi_get_mcu_version_minor(h, &mcu_minor);
    kestrelapi_get_fpga_version_major(h, &fpga_major);
    kestrelapi_get_fpga_version_minor(h, &fpga_minor);
    printf("device open: MCU %u.%u, FPGA %u.%u\n", mcu_major, mcu_minor, fpga_major, fpga_minor);

    kestrelapi_device_close(h);
    bool open = true;
    for (int i = 0; i < 500 && open; ++i) {
        kestrelapi_get_device_open_flag(h, &open);
        if (open) sleep_ms(10);
    }
    printf("device %s, last error %d\n", open ? "still open" : "closed",
           (int)kestrelapi_get_last_error(h));
    kestrelapi_free(h);
    return open ? 1 : 0;
}
