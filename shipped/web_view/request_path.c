#include "request_path.h"

#include <stdlib.h>
#include <string.h>

#define CAMERAS_PREFIX "/cameras/"

int request_camera_name_ok(const char* name, size_t length)
{
    if (length == 0 || length >= REQUEST_CAMERA_SIZE || name[0] == '.')
        return 0;
    for (size_t i = 0; i < length; ++i) {
        const char c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
              c == '.'))
            return 0;
    }
    return 1;
}

/* Digits only, 1 to 9 of them: a segment or part number. */
static int parse_count(const char* text, size_t length, unsigned* value)
{
    if (length == 0 || length > 9)
        return 0;
    unsigned result = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return 0;
        result = result * 10 + (unsigned)(text[i] - '0');
    }
    *value = result;
    return 1;
}

/* "SEQ.m4s" or "SEQ.PART.m4s". */
static int parse_media(const char* file, Request* request)
{
    const size_t length = strlen(file);
    if (length < 5 || strcmp(file + length - 4, ".m4s") != 0)
        return 0;
    const size_t stem = length - 4;
    const char* dot = memchr(file, '.', stem);
    unsigned part = 0;
    if (!dot) {
        request->part = -1;
        return parse_count(file, stem, &request->sequence);
    }
    if (!parse_count(file, (size_t)(dot - file), &request->sequence) ||
        !parse_count(dot + 1, stem - (size_t)(dot + 1 - file), &part) || part > 100000)
        return 0;
    request->part = (int)part;
    return 1;
}

static RequestKind camera_file_kind(const char* file, Request* request)
{
    static const struct {
        const char* name;
        RequestKind kind;
    } files[] = {{"live.m3u8", REQUEST_PLAYLIST},     {"init.mp4", REQUEST_INIT},
                 {"snapshot.jpg", REQUEST_SNAPSHOT},  {"recordings.json", REQUEST_RECORDINGS},
                 {"recording.mp4", REQUEST_RECORDING}};
    for (size_t i = 0; i < sizeof files / sizeof files[0]; ++i)
        if (strcmp(file, files[i].name) == 0)
            return files[i].kind;
    return parse_media(file, request) ? REQUEST_MEDIA : REQUEST_UNKNOWN;
}

void request_path_parse(const char* path, Request* request)
{
    memset(request, 0, sizeof *request);
    request->part = -1;
    if (strcmp(path, "/cameras.json") == 0) {
        request->kind = REQUEST_CAMERAS;
        return;
    }
    if (strncmp(path, CAMERAS_PREFIX, strlen(CAMERAS_PREFIX)) != 0) {
        /* "/name.ext" with no further slash; the page's table decides. */
        request->kind = path[0] == '/' && !strchr(path + 1, '/') ? REQUEST_PAGE_FILE : REQUEST_UNKNOWN;
        return;
    }
    const char* name = path + strlen(CAMERAS_PREFIX);
    const char* slash = strchr(name, '/');
    if (!slash || strchr(slash + 1, '/') || !request_camera_name_ok(name, (size_t)(slash - name)))
        return;
    RequestKind kind = camera_file_kind(slash + 1, request);
    if (kind == REQUEST_UNKNOWN)
        return;
    memcpy(request->camera, name, (size_t)(slash - name));
    request->kind = kind;
}

int request_number(const char* text, long long min, long long max, long long* value)
{
    if (!text)
        return 0;
    const char* digits = text[0] == '-' ? text + 1 : text;
    const size_t length = strlen(digits);
    if (length == 0 || length > 18 || strspn(digits, "0123456789") != length)
        return 0;
    long long result = strtoll(text, NULL, 10);
    if (result < min || result > max)
        return 0;
    *value = result;
    return 1;
}
