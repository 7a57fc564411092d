/*
 * activity_line_fuzz.cpp - the splitting of one activity log line: the
 * input is a line as PortFgets hands it to the import (up to 255 bytes of
 * any value, cut after the first line feed, which is kept).
 *
 * SplitActivityLine must assign exactly what sscanf with ACT_LINE_FORMAT
 * assigns: the same values, the same marker, the same count, and not one
 * byte more of the buffers (both start from the same filling).
 */
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "activity.h"
#include "fuzz_support.h"

using vqfuzz::Require;

namespace {

const size_t kLineMax = 255;

/* The values and marker of one split, from the same filling. */
struct Split {
    char Data[JOB_ENTRY_ITEMS][ACT_VALUE_SIZE];
    char Final;
    int Count;
};

void Fill(Split &S)
{
    std::memset(&S, 0x5A, sizeof S);
    for (int i = 0; i < JOB_ENTRY_ITEMS; i++)
        S.Data[i][0] = '\0';
    S.Final = '\0';
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    vqfuzz::g_target = "activity_line_fuzz";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    char Line[kLineMax + 1];
    size_t n = 0;
    while (n < Size && n < kLineMax) {
        Line[n] = (char)Data[n];
        if (Line[n++] == '\n')
            break;
    }
    Line[n] = '\0';

    Split Mine, Libc;
    Fill(Mine);
    Fill(Libc);
    Mine.Count = SplitActivityLine(Line, Mine.Data, &Mine.Final);
    char(*d)[ACT_VALUE_SIZE] = Libc.Data;
    Libc.Count = std::sscanf(Line, ACT_LINE_FORMAT, d[JE_JOBID], d[JE_DATE], d[JE_TIME],
                             d[JE_TYPE], &Libc.Final, d[JE_ATTEMPTS], d[JE_TO], d[JE_FROM],
                             d[JE_PAGES], d[JE_CODE], d[JE_EXPLANATION], d[JE_CONNECTION],
                             d[JE_SPEED]);
    if (Libc.Count == EOF)
        Libc.Count = 0; /* the line ended before the first column */

    Require(Mine.Count == Libc.Count, "a different number of columns assigned");
    Require(Mine.Final == Libc.Final, "a different final-entry marker");
    for (int i = 0; i < JOB_ENTRY_ITEMS; i++)
        Require(std::memcmp(Mine.Data[i], Libc.Data[i], ACT_VALUE_SIZE) == 0,
                JobEntryItems[i]);
    return 0;
}
