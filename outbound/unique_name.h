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

#endif /* VQ_UNIQUE_NAME_H */
