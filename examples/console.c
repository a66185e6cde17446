/*
 * Example module: a console that shows on standard error, one line each, the
 * service's text notices, the status documents it publishes (by name and
 * size), the modules that "plugins.xml" lists, and its memory status.
 *
 * Text notices (flags 0x40, event 0x1000002) reach Write through
 * class_mask[6], which holds their delivery key 0x2000002; memory status
 * documents (flags 0x04, event 0x1000010) through class_mask[2] with key
 * 0x2000010. "plugins.xml" and "core.xml" are sent to every module as payload
 * notices, through IOCTL sub-code 2. None of these payloads is kept, and none
 * ends in a NUL: the length says where the text ends.
 */
#include <stdio.h>
#include <string.h>

#include "modules/module_api.h"
#include "routing/message_api.h"

#define CONSOLE_ID UINT64_C(0x300)
#define TEXT_MATCH_MASK UINT64_C(0x2000002)
#define DOCUMENT_MATCH_MASK UINT64_C(0x2000010)

int32_t Load(void* in, void* out)
{
    ModuleInfo* info = out;
    (void)in;
    info->module_id = CONSOLE_ID;
    info->class_mask[2] = DOCUMENT_MATCH_MASK;
    info->class_mask[6] = TEXT_MATCH_MASK;
    info->accepts_write = 1;
    return 0;
}

int32_t Open(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}

static int contains(const char* text, int32_t length, const char* word)
{
    size_t n = strlen(word);
    for (int32_t i = 0; i + (int32_t)n <= length; ++i)
        if (memcmp(text + i, word, n) == 0)
            return 1;
    return 0;
}

/* The service's documents, told apart by their content. */
static const char* document_name(const char* text, int32_t length)
{
    if (contains(text, length, "<Modules"))
        return "plugins.xml";
    if (contains(text, length, "Delta="))
        return "core.xml";
    return "memory status";
}

/* The value of attribute `name` inside [from, end), or an empty text. */
static int attribute(const char* from, const char* end, const char* name, const char** value)
{
    size_t n = strlen(name);
    for (const char* p = from; p + n + 2 <= end; ++p) {
        if (memcmp(p, name, n) != 0 || p[n] != '=' || p[n + 1] != '"')
            continue;
        *value = p + n + 2;
        const char* close = memchr(*value, '"', (size_t)(end - *value));
        return close ? (int)(close - *value) : 0;
    }
    *value = "";
    return 0;
}

/* One line per module of "plugins.xml" (the Core's own entry left out). */
static void show_modules(const char* text, int32_t length)
{
    const char* end = text + length;
    const char* plugin = text;
    while ((plugin = memchr(plugin, '<', (size_t)(end - plugin))) != NULL) {
        const char* close = memchr(plugin, '>', (size_t)(end - plugin));
        if (!close)
            return;
        const char *id, *name, *code;
        attribute(plugin, close, "ID", &id);
        int name_length = attribute(plugin, close, "Filename", &name);
        int code_length = attribute(plugin, close, "OpenCode", &code);
        if (strncmp(plugin, "<Plugin ", 8) == 0 && strncmp(id, "-2147483648\"", 12) != 0)
            fprintf(stderr, "console: module %.*s, open code %.*s\n", name_length, name, code_length, code);
        plugin = close;
    }
}

int32_t Write(void* in, void* out)
{
    WriteArgs* args = in;
    (void)out;
    const char* text = args->data ? (const char*)args->data : "";
    if (args->event == ORV_EVENT_TEXT)
        fprintf(stderr, "console: notice: %.*s\n", args->length, text);
    else if (args->event == ORV_EVENT_DOCUMENT)
        fprintf(stderr, "console: document: %s, %d bytes: %.*s\n", document_name(text, args->length), args->length,
                args->length, text);
    return 0;
}

int32_t IOCTL(void* in, void* out)
{
    IoctlArgs* args = in;
    (void)out;
    if (args->code != ORV_IOCTL_NOTIFY_OTHERS && args->code != ORV_IOCTL_NOTIFY_ALL)
        return 0;
    const char* text = args->payload.data ? (const char*)args->payload.data : "";
    const char* name = document_name(text, args->payload.length);
    fprintf(stderr, "console: document: %s, %d bytes\n", name, args->payload.length);
    if (strcmp(name, "plugins.xml") == 0)
        show_modules(text, args->payload.length);
    return 0;
}

int32_t Close(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}

int32_t Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}
