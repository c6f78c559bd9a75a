/* Opens the first KESTREL device on the bus with a handle of its model, prints its
 * firmware versions and closes it. */
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "kestrelapi.h"

static void sleep_ms(long ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}

/* The model follows from the serial number's prefix; a handle serves its own model only. */
static kestrelapi_model_t model_of(const char* sn) {
    if (strncmp(sn, "7302102", 7) == 0) return kestrel_two;
    if (strncmp(sn, "7302103", 7) == 0) return kestrel_three;
    return kestrel_one;
}

/* The first device on the bus: its serial number and description, copied. */
static int first_device(char* sn, size_t sn_size, char* desc, size_t desc_size) {
    kestrelapi_handle h = NULL;
    if (kestrelapi_create_new_handle(&h, kestrel_one) != OHWAPI_OK) return 0;
    uint16_t count = 0;
    int found = 0;
    if (kestrelapi_create_device_list(h) == OHWAPI_OK &&
        kestrelapi_get_devices_count(h, &count) == OHWAPI_OK && count > 0) {
        device_descriptor_t d = {NULL, NULL};
        if (kestrelapi_get_device_descriptor(h, 0, &d) == OHWAPI_OK) {
            snprintf(sn, sn_size, "%s", d.sn ? d.sn : "");
            snprintf(desc, desc_size, "%s", d.desc ? d.desc : "");
            kestrelapi_free_device_descriptor(&d);
            found = 1;
        }
    }
    kestrelapi_free_device_list(h);
    kestrelapi_free(h);
    return found;
}

static const char usage[] =
    "usage: kestrel_handle_demo [--version | --help]\n"
    "Opens the first KESTREL device on the bus with a handle of its model, prints its "
    "firmware versions and closes it.\n";

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        uint32_t major = 0, minor = 0, patch = 0;
        kestrelapi_get_library_version(&major, &minor, &patch);
        printf("kestrel_handle_demo %u.%u.%u\n", major, minor, patch);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        fputs(usage, stdout);
        return 0;
    }
    if (argc > 1) {
        fprintf(stderr, "kestrel_handle_demo: invalid argument '%s'\n%s", argv[1], usage);
        return 2;
    }
    char sn[64], desc[128];
    if (!first_device(sn, sizeof sn, desc, sizeof desc)) {
        fprintf(stderr, "no KESTREL device found\n");
        return 1;
    }
    kestrelapi_handle h = NULL;
    ohwapi_err_code_t rc = kestrelapi_create_new_handle(&h, model_of(sn));
    if (rc != OHWAPI_OK) {
        fprintf(stderr, "create_new_handle failed: %d\n", (int)rc);
        return 1;
    }
    device_descriptor_t d = {sn, desc};
    rc = kestrelapi_device_open(h, d);
    if (rc != OHWAPI_OK) {
        char why[512] = "";
        kestrelapi_get_last_error_text(h, why, sizeof why);
        fprintf(stderr, "cannot open %s: %s (%d): %s\n", sn, kestrelapi_error_name(rc), (int)rc,
                why);
        kestrelapi_free(h);
        return 1;
    }
    uint8_t mcu_major = 0, mcu_minor = 0, fpga_major = 0, fpga_minor = 0;
    kestrelapi_get_mcu_version_major(h, &mcu_major);
    kestrelapi_get_mcu_version_minor(h, &mcu_minor);
    kestrelapi_get_fpga_version_major(h, &fpga_major);
    kestrelapi_get_fpga_version_minor(h, &fpga_minor);
    printf("device %s (%s) open: MCU %u.%u, FPGA %u.%u\n", sn, desc, mcu_major, mcu_minor,
           fpga_major, fpga_minor);

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
