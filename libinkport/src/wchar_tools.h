// Conversions between the library's 8-bit texts and the API's 16-bit texts,
// one unit per byte, with no multibyte encoding.
#pragma once

#include <cstdint>

int wchar_length(const char16_t *text);
int widen(char16_t *dst, const char *src, int count);
int narrow(char *dst, const char16_t *src, int count);
