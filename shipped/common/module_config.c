#define _GNU_SOURCE
#include "module_config.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

char* module_config_trim(char* text)
{
    while (*text == ' ' || *text == '\t')
        ++text;
    size_t n = strlen(text);
    while (n > 0 && strchr(" \t\r\n", text[n - 1]))
        text[--n] = 0;
    return text;
}

static void config_path(ModuleConfig* config, const void* anchor)
{
    Dl_info self;
    config->path[0] = 0;
    if (!dladdr(anchor, &self) || !self.dli_fname)
        return;
    size_t n = strlen(self.dli_fname);
    if (n > 3 && strcmp(self.dli_fname + n - 3, ".so") == 0)
        n -= 3;
    snprintf(config->path, sizeof config->path, "%.*s.conf", (int)n, self.dli_fname);
}

void module_config_set(ModuleConfig* config, const char* key, const char* value)
{
    int i = 0;
    while (i < config->count && strcmp(config->entries[i].key, key) != 0)
        ++i;
    if (i == MODULE_CONFIG_ENTRIES)
        return;
    if (i == config->count)
        ++config->count;
    snprintf(config->entries[i].key, sizeof config->entries[i].key, "%s", key);
    snprintf(config->entries[i].value, sizeof config->entries[i].value, "%s", value);
}

int module_config_load(ModuleConfig* config, const void* anchor)
{
    config->count = 0;
    config_path(config, anchor);
    FILE* file = config->path[0] ? fopen(config->path, "r") : NULL;
    if (!file)
        return 0;
    char line[2048];
    while (fgets(line, sizeof line, file)) {
        char* text = module_config_trim(line);
        char* equals = strchr(text, '=');
        if (*text == '#' || !equals)
            continue;
        *equals = 0;
        module_config_set(config, module_config_trim(text), module_config_trim(equals + 1));
    }
    fclose(file);
    return 1;
}

const char* module_config_text(const ModuleConfig* config, const char* key, const char* fallback)
{
    for (int i = 0; i < config->count; ++i)
        if (strcmp(config->entries[i].key, key) == 0)
            return config->entries[i].value;
    return fallback;
}

long long module_config_number(const ModuleConfig* config, const char* key, long long fallback)
{
    const char* text = module_config_text(config, key, NULL);
    char* end;
    long long value = text ? strtoll(text, &end, 0) : 0;
    return text && *text && !*end ? value : fallback;
}

double module_config_real(const ModuleConfig* config, const char* key, double fallback)
{
    const char* text = module_config_text(config, key, NULL);
    char* end;
    double value = text ? strtod(text, &end) : 0;
    return text && *text && !*end ? value : fallback;
}
