#include "wchar_tools.h"

#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "export.h"
#include "inkport/inkport.h"
#include "wrappthread.h"

namespace {

constexpr int kMaxUnits = QLPAD_MAX_STRING_LENGTH;

pthread_mutex_t print_wchar_lock = PTHREAD_MUTEX_INITIALIZER;
char print_wchar_buffer[kMaxUnits];

char narrow_unit(char16_t unit) {
    int c = wctob(static_cast<wint_t>(unit));
    return c == EOF ? static_cast<char>(0xFF) : static_cast<char>(c);
}

char16_t widen_byte(char byte) {
    // btowc answers WEOF for a byte without a single-unit form; as a 16-bit
    // unit that is 0xFFFF, which narrows back to 0xFF.
    return static_cast<char16_t>(btowc(static_cast<unsigned char>(byte)));
}

}  // namespace

int wchar_length(const char16_t *text) {
    if (text == nullptr)
        return 0;
    int n = 0;
    while (n < kMaxUnits && narrow_unit(text[n]) != '\0')
        ++n;
    return n;
}

int widen(char16_t *dst, const char *src, int count) {
    for (int i = 0; i < count; ++i)
        dst[i] = widen_byte(src[i]);
    return count;
}

int narrow(char *dst, const char16_t *src, int count) {
    for (int i = 0; i < count; ++i)
        dst[i] = narrow_unit(src[i]);
    return count;
}

extern "C" {

EXPORT void wbzero(uint16_t *buffer, int count) {
    if (buffer != nullptr && count > 0)
        memset(buffer, 0, sizeof(uint16_t) * static_cast<size_t>(count));
}

EXPORT int wstr_length(const uint16_t *text) {
    return wchar_length(reinterpret_cast<const char16_t *>(text));
}

EXPORT int astr_to_wstr(uint16_t *dst, const char *src, int count) {
    if (dst == nullptr || src == nullptr || count < 0)
        return 0;
    return widen(reinterpret_cast<char16_t *>(dst), src, count);
}

EXPORT int wstr_to_astr(char *dst, const uint16_t *src, int count) {
    if (dst == nullptr || src == nullptr || count < 0)
        return 0;
    return narrow(dst, reinterpret_cast<const char16_t *>(src), count);
}

// The narrowing follows whatever character-type locale the application has
// chosen; the library does not call setlocale() itself, which would change the
// host's locale behind its back and race with its other threads.
EXPORT const char *print_wchar_to_asci(const uint16_t *text) {
    LOCK_GUARD(guard, &print_wchar_lock);
    memset(print_wchar_buffer, 0, sizeof print_wchar_buffer);
    if (text == nullptr)
        return print_wchar_buffer;
    const auto *units = reinterpret_cast<const char16_t *>(text);
    int n = wchar_length(units) + 1;
    if (n > kMaxUnits - 2)
        n = kMaxUnits - 2;
    narrow(print_wchar_buffer, units, n);
    return print_wchar_buffer;
}

}  // extern "C"
