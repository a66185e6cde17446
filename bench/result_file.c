/* Writing result files whole. */
#include "result_file.h"

#include <stdio.h>

static void part_name(char* part, size_t size, const char* path)
{
    snprintf(part, size, "%s.part", path);
}

FILE* bench_result_open(const char* path)
{
    char part[4200];
    part_name(part, sizeof part, path);
    return fopen(part, "w");
}

int bench_result_commit(FILE* file, const char* path)
{
    char part[4200];
    part_name(part, sizeof part, path);
    int written = !ferror(file);
    written = fclose(file) == 0 && written;
    return written && rename(part, path) == 0;
}
