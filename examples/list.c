/* Lists the pads libinkport finds, with what the library knows of each. */
#include <inkport/inkport.h>
#include <stdio.h>

static void print_text(const char *label, const uint16_t *text) {
    printf("  %-20s ", label);
    for (int i = 0; text[i] != 0; ++i)
        putchar(text[i] < 0x80 ? (int)text[i] : '?');
    putchar('\n');
}

int main(void) {
    uint16_t text[QLPAD_MAX_STRING_LENGTH];
    unsigned int reply = 0, device = 0;

    Initialize();
    printf("pads found: %u\n", GetDeviceCount(&reply));
    for (EnumerateDevicesStart(&device); device != 0; EnumerateDevicesNext(&device)) {
        printf("pad %u\n", device);
        if (GetSerialNumber(device, text, QLPAD_MAX_STRING_LENGTH, &reply) == 0)
            print_text("serial number:", text);
        if (GetProductName(device, 0, text, QLPAD_MAX_STRING_LENGTH, &reply) == 0)
            print_text("product:", text);
        if (GetVendorName(device, text, QLPAD_MAX_STRING_LENGTH, &reply) == 0)
            print_text("vendor:", text);
        if (GetVendorId(device, &reply) == 0)
            printf("  %-20s %04x\n", "vendor id:", reply);
        if (GetProductId(device, 0, &reply) == 0)
            printf("  %-20s %04x\n", "product id:", reply);
        if (GetEndPointCount(device, &reply) == 0)
            printf("  %-20s %u\n", "interfaces:", reply);
        if (GetFeatureReportSize(device, 0, &reply) == 0)
            printf("  %-20s %u\n", "feature report size:", reply);
    }
    Deinitialize();
    return 0;
}
