/*
 * The configuration file of a shipped module: "<name>.conf" beside the
 * module's library "<name>.so" (the path the service opened it by, so a link
 * in plugins/ reads the file in plugins/). Lines are "key = value"; blank
 * lines and lines starting with '#' are ignored; a repeated key keeps its
 * last value.
 *
 * Thread safety: read once in Load, then only read.
 */
#ifndef ORVANTIS_SHIPPED_MODULE_CONFIG_H
#define ORVANTIS_SHIPPED_MODULE_CONFIG_H

#define MODULE_CONFIG_ENTRIES 32

typedef struct ModuleConfig {
    char path[4096];  /* the file read, or the one that was looked for */
    int count;
    struct {
        char key[64];
        char value[1024];
    } entries[MODULE_CONFIG_ENTRIES];
} ModuleConfig;

/* Reads the file beside the library that holds `anchor` (any function of the
 * module). Returns 0 when the file could not be read; `config` is then empty
 * and `config->path` names the file. */
int module_config_load(ModuleConfig* config, const void* anchor);

/* Sets `key` to `value`, replacing an earlier value; beyond
 * MODULE_CONFIG_ENTRIES keys a new one is ignored. For modules that read
 * files of another shape into the same store. */
void module_config_set(ModuleConfig* config, const char* key, const char* value);

/* `text` without the blanks and line ends around it (cut in place). */
char* module_config_trim(char* text);

/* The value of `key`, or `fallback` when the file does not set it. */
const char* module_config_text(const ModuleConfig* config, const char* key, const char* fallback);

/* The value of `key` as a number (decimal or 0x-hex; a fraction for the real
 * variant), or `fallback` when it is missing or not a number. */
long long module_config_number(const ModuleConfig* config, const char* key, long long fallback);
double module_config_real(const ModuleConfig* config, const char* key, double fallback);

#endif
