/* A first program against libinkport: initialise, count the pads, echo a
 * text, provoke one exception and read it back. */
#include <inkport/inkport.h>
#include <stdio.h>

static void print_wide(const char *label, const uint16_t *text) {
    printf("%s", label);
    for (int i = 0; text[i] != 0; ++i)
        putchar(text[i] < 0x80 ? (int)text[i] : '?');
    putchar('\n');
}

int main(void) {
    unsigned int reply = 0;
    uint16_t text[QLPAD_MAX_STRING_LENGTH];
    const uint16_t hello[] = {'h', 'e', 'l', 'l', 'o', 0};

    Initialize();
    printf("pads found: %u\n", GetDeviceCount(&reply));

    if (SayHello(hello, text, QLPAD_MAX_STRING_LENGTH, &reply) == 0)
        print_wide("SayHello: ", text);

    /* A null reply pointer is refused: the result is an exception handle. */
    uint32_t handle = SayHello(hello, text, QLPAD_MAX_STRING_LENGTH, NULL);
    printf("exception handle: %u\n", handle);
    if (GetExceptionType(handle, text, QLPAD_MAX_STRING_LENGTH, &reply) == 0)
        print_wide("  type:    ", text);
    if (GetExceptionCode(handle, &reply) == 0) {
        unsigned int code = reply;
        if (TranslateErrorCode(code, text, QLPAD_MAX_STRING_LENGTH, &reply) == 0) {
            printf("  code:    %u (", code);
            for (int i = 0; text[i] != 0; ++i)
                putchar((int)text[i]);
            printf(")\n");
        }
    }
    if (GetExceptionName(handle, text, QLPAD_MAX_STRING_LENGTH, &reply) == 0)
        print_wide("  name:    ", text);
    if (GetExceptionMessage(handle, text, QLPAD_MAX_STRING_LENGTH, &reply) == 0)
        print_wide("  message: ", text);

    Deinitialize();
    return 0;
}
