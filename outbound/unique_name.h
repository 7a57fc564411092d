/*
 * unique_name.h - the test seam of GetUniqueFileName (declared in
 * vortiq.h): how many numbered names it tries before giving up.
 */
#ifndef VQ_UNIQUE_NAME_H
#define VQ_UNIQUE_NAME_H

/* Names 00000000 up to 00032767: the counter is 16 bits wide. */
#define VQ_UNIQUE_NAME_COUNT 32768L

/* Candidates tried per call; VQ_UNIQUE_NAME_COUNT except in tests that
 * exhaust a small range. */
extern long VqUniqueNameLimit;

/* Within a pass: keeps a name that was answered but is not made yet (a
 * job's final name until its rename) from being answered again (Hold 1),
 * or frees it (Hold 0). Outside a pass, or for a folder not listed in it,
 * nothing is kept. */
void VqUniqueNameHold(const char *Path, int Hold);

#endif /* VQ_UNIQUE_NAME_H */
