/*
 * Result files appear whole: they are written beside their final name and
 * renamed into place, so a runner polling for them never reads half a file.
 */
#ifndef ORVANTIS_BENCH_RESULT_FILE_H
#define ORVANTIS_BENCH_RESULT_FILE_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opens "<path>.part" for writing; null on failure. */
FILE* bench_result_open(const char* path);

/* Closes the file and renames it to `path`; returns 0 on any failure. */
int bench_result_commit(FILE* file, const char* path);

#ifdef __cplusplus
}
#endif

#endif /* ORVANTIS_BENCH_RESULT_FILE_H */
