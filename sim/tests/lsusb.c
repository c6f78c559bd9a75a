/* Lists the USB devices libusb sees, with their serial numbers. */
#include <libusb-1.0/libusb.h>
#include <stdio.h>

int main(void) {
    if (libusb_init(NULL) < 0) return 1;
    libusb_device** list = NULL;
    ssize_t n = libusb_get_device_list(NULL, &list);
    for (ssize_t i = 0; i < n; ++i) {
        struct libusb_device_descriptor d;
        if (libusb_get_device_descriptor(list[i], &d) < 0) continue;
        unsigned char sn[256] = "";
        libusb_device_handle* h = NULL;
        if (d.iSerialNumber != 0 && libusb_open(list[i], &h) == 0) {
            if (libusb_get_string_descriptor_ascii(h, d.iSerialNumber, sn, sizeof sn) <= 0)
                sn[0] = 0;
            libusb_close(h);
        }
        printf("%04x:%04x %s\n", d.idVendor, d.idProduct, (const char*)sn);
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    libusb_exit(NULL);
    return 0;
}
