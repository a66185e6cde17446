#include "camera_settings.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../common/host_services.h"
#include "../common/module_config.h"

int camera_name_valid(const char* name)
{
    size_t n = strlen(name);
    if (n == 0 || n >= sizeof(((CameraSettings*)0)->name) || name[0] == '.')
        return 0;
    return strspn(name, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.") == n;
}

/* A camera's value: its section's, else the common one. */
static const char* text(const ModuleConfig* own, const ModuleConfig* common, const char* key, const char* fallback)
{
    return module_config_text(own, key, module_config_text(common, key, fallback));
}

static long long number(const ModuleConfig* own, const ModuleConfig* common, const char* key, long long fallback)
{
    return module_config_number(own, key, module_config_number(common, key, fallback));
}

static void fill(CameraSettings* camera, const ModuleConfig* own, const ModuleConfig* common, int position)
{
    snprintf(camera->url, sizeof camera->url, "%s", text(own, common, "url", ""));
    snprintf(camera->options, sizeof camera->options, "%s", text(own, common, "options", ""));
    camera->source = (uint64_t)number(own, common, "source", position);
    camera->rate = module_config_real(own, "rate", module_config_real(common, "rate", 1.0));
    const char* at_end = text(own, common, "at_end", "reconnect");
    camera->at_end = strcmp(at_end, "loop") == 0 ? AT_END_LOOP
                   : strcmp(at_end, "stop") == 0 ? AT_END_STOP
                                                 : AT_END_RECONNECT;
    camera->open_timeout_us = number(own, common, "open_timeout_ms", 30000) * 1000;
    camera->read_timeout_us = number(own, common, "read_timeout_ms", 5000) * 1000;
    camera->backoff_us = number(own, common, "backoff_ms", 100) * 1000;
    camera->max_backoff_us = number(own, common, "max_backoff_ms", 500) * 1000;
}

/* Takes the camera of `section` (named `name`) into the list, if it can. */
static void add(CameraList* list, const char* name, const ModuleConfig* section, const ModuleConfig* common,
                int position)
{
    if (!camera_name_valid(name)) {
        host_log(ORV_LOG_WARNING, "camera name \"%s\" is not a directory name, left out", name);
        return;
    }
    if (list->count == CAMERA_SETTINGS_MAX) {
        host_log(ORV_LOG_WARNING, "more than %d cameras, \"%s\" left out", CAMERA_SETTINGS_MAX, name);
        return;
    }
    CameraSettings* camera = &list->cameras[list->count];
    snprintf(camera->name, sizeof camera->name, "%s", name);
    fill(camera, section, common, position);
    if (!camera->url[0]) {
        host_log(ORV_LOG_WARNING, "camera %s has no url, left out", name);
        return;
    }
    ++list->count;
}

int camera_settings_load(CameraList* list, const char* path)
{
    list->count = 0;
    list->module_id = 0x400;
    FILE* file = fopen(path, "r");
    if (!file)
        return 0;
    ModuleConfig* common = calloc(1, sizeof *common);
    ModuleConfig* section = calloc(1, sizeof *section);
    char name[256] = "";
    int sections = 0;
    char line[2048];
    while (common && section && fgets(line, sizeof line, file)) {
        char* content = module_config_trim(line);
        char* equals = strchr(content, '=');
        size_t n = strlen(content);
        if (content[0] == '[' && n > 1 && content[n - 1] == ']') {
            if (sections++)
                add(list, name, section, common, sections - 1);
            section->count = 0;
            content[n - 1] = 0;
            snprintf(name, sizeof name, "%s", module_config_trim(content + 1));
        } else if (*content != '#' && equals) {
            *equals = 0;
            module_config_set(sections ? section : common, module_config_trim(content),
                              module_config_trim(equals + 1));
        }
    }
    fclose(file);
    if (common && section) {
        if (sections)
            add(list, name, section, common, sections);
        else if (module_config_text(common, "url", NULL)) {
            uint64_t source = (uint64_t)module_config_number(common, "source", 1);
            snprintf(name, sizeof name, "camera%llu", (unsigned long long)source);
            add(list, module_config_text(common, "name", name), section, common, 1);
        }
        list->module_id = (uint64_t)module_config_number(common, "module_id", 0x400);
    }
    free(common);
    free(section);
    return 1;
}
