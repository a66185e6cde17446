/*
 * The page's files (page/ in the source tree), built into the module so
 * that nothing on disk is ever served by name: "/" is index.html, the others
 * are at "/<file name>".
 */
#ifndef ORVANTIS_SHIPPED_PAGE_FILES_H
#define ORVANTIS_SHIPPED_PAGE_FILES_H

#include <stddef.h>

typedef struct PageFile {
    const char* path;
    const char* type;
    const unsigned char* data;
    size_t size;
} PageFile;

/* The file at `path`, or null. */
const PageFile* page_file_find(const char* path);

#endif
