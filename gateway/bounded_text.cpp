/*
 * bounded_text.cpp - copies and formatting that never write past a
 * buffer and always terminate; the case-insensitive comparisons.
 */
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "vortiq.h"

size_t VqCopy(char *Dst, size_t Size, const char *Src)
{
    if (Src == nullptr)
        Src = "";
    size_t len = std::strlen(Src);
    if (Size == 0)
        return len;
    size_t n = len < Size - 1 ? len : Size - 1;
    std::memcpy(Dst, Src, n);
    Dst[n] = '\0';
    return len;
}

size_t VqCopyN(char *Dst, size_t Size, const char *Src, size_t Len)
{
    if (Src == nullptr)
        Len = 0;
    size_t len = Src ? strnlen(Src, Len) : 0;
    if (Size == 0)
        return len;
    size_t n = len < Size - 1 ? len : Size - 1;
    if (n > 0)
        std::memcpy(Dst, Src, n);
    Dst[n] = '\0';
    return len;
}

size_t VqAppend(char *Dst, size_t Size, const char *Src)
{
    size_t used = strnlen(Dst, Size);
    if (used >= Size)
        return used + (Src ? std::strlen(Src) : 0);
    return used + VqCopy(Dst + used, Size - used, Src);
}

int VqFormat(char *Dst, size_t Size, const char *Format, ...)
{
    if (Size == 0)
        return 0;
    va_list ap;
    va_start(ap, Format);
    int n = std::vsnprintf(Dst, Size, Format, ap);
    va_end(ap);
    if (n < 0)
        Dst[0] = '\0';
    return n;
}

int VqStricmp(const char *a, const char *b)
{
    return strcasecmp(a, b);
}

int VqStrnicmp(const char *a, const char *b, size_t n)
{
    return strncasecmp(a, b, n);
}

void VqCutUtf8(char *Text)
{
    size_t i = Text == nullptr ? 0 : strlen(Text);
    size_t Follow = 0;

    while (i > 0 && Follow < 3 && ((unsigned char)Text[i - 1] & 0xC0) == 0x80) {
        i--;
        Follow++;
    }
    if (i == 0)
        return;
    const unsigned char Lead = (unsigned char)Text[i - 1];
    const size_t Need = Lead >= 0xF0 ? 3 : Lead >= 0xE0 ? 2 : Lead >= 0xC0 ? 1 : 0;
    if (Lead >= 0xC0 && Follow < Need)
        Text[i - 1] = '\0';
}
