/*
 * my_module: a starting point. It reads its settings from my_module.conf
 * beside the library (the helper the shipped modules use), takes the id
 * given there and reports the service's text notices on standard error.
 */
#include <stdio.h>

#include "module_config.h"
#include "modules/module_api.h"
#include "routing/message_api.h"

#define EXPORT __attribute__((visibility("default")))

static char name[64] = "my_module";

EXPORT int32_t Load(void* in, void* out)
{
    ModuleInfo* info = out;
    ModuleConfig config;
    (void)in;
    if (!module_config_load(&config, (const void*)Load))
        fprintf(stderr, "my_module: cannot read %s, using the defaults\n", config.path);
    snprintf(name, sizeof name, "%s", module_config_text(&config, "name", "my_module"));
    info->module_id = (uint64_t)module_config_number(&config, "module_id", 0x7000);
    info->accepts_write = 1;
    info->class_mask[6] = 0x2000002; /* the service's text notices */
    return 0;
}

EXPORT int32_t Open(void* in, void* out)
{
    (void)in;
    (void)out;
    fprintf(stderr, "%s: open\n", name);
    return 0;
}

/* Runs on the service's event-handler thread: return quickly. */
EXPORT int32_t Write(void* in, void* out)
{
    WriteArgs* args = in;
    (void)out;
    if (args->event == ORV_EVENT_TEXT && args->data)
        fprintf(stderr, "%s: notice: %.*s\n", name, (int)args->length, (const char*)args->data);
    return 0;
}

EXPORT int32_t Close(void* in, void* out)
{
    (void)in;
    (void)out;
    fprintf(stderr, "%s: close\n", name);
    return 0;
}

EXPORT int32_t Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}
