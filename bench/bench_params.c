/* Reading the settings of a benchmark run. */
#define _GNU_SOURCE
#include "bench_params.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "routing/message_api.h"

#define WINDOW_BYTES (32u << 20)
#define WINDOW_MIN 256u
#define WINDOW_MAX 8192u

void bench_params_init(BenchParams* params)
{
    memset(params, 0, sizeof *params);
    params->count = 100000;
    params->receivers = 1;
    params->gap_us = 50;
}

static int parse_number(const char* text, uint64_t* value)
{
    char* end;
    *value = strtoull(text, &end, 0);
    return end != text && *end == 0;
}

int bench_params_set(BenchParams* params, const char* key, const char* value)
{
    uint64_t number = 0;
    if (strcmp(key, "result") == 0) {
        snprintf(params->result, sizeof params->result, "%s", value);
        return 1;
    }
    if (!parse_number(value, &number))
        return 0;
    if (strcmp(key, "count") == 0)
        params->count = number;
    else if (strcmp(key, "payload") == 0 && number <= INT32_MAX)
        params->payload = (int32_t)number;
    else if (strcmp(key, "receivers") == 0 && number >= 1 && number <= BENCH_MAX_RECEIVERS)
        params->receivers = (uint32_t)number;
    else if (strcmp(key, "paced") == 0)
        params->paced = number != 0;
    else if (strcmp(key, "gap_us") == 0 && number <= UINT32_MAX)
        params->gap_us = (uint32_t)number;
    else if (strcmp(key, "window") == 0)
        params->window = number;
    else if (strcmp(key, "slot") == 0 && number < BENCH_MAX_RECEIVERS)
        params->slot = (uint32_t)number;
    else
        return 0;
    return 1;
}

/* Cuts "  key = value \n" into its two trimmed parts, in place. */
static int split_line(char* line, char** key, char** value)
{
    char* eq = strchr(line, '=');
    if (!eq)
        return 0;
    *eq = 0;
    *key = line + strspn(line, " \t");
    *value = eq + 1 + strspn(eq + 1, " \t");
    for (char* end = *key + strlen(*key); end > *key && strchr(" \t", end[-1]); --end)
        end[-1] = 0;
    (*value)[strcspn(*value, " \t\r\n")] = 0;
    return 1;
}

int bench_params_read(BenchParams* params, const char* path)
{
    FILE* file = fopen(path, "r");
    if (!file)
        return 0;
    char line[4200];
    int ok = 1;
    while (fgets(line, sizeof line, file)) {
        char *key, *value;
        if (line[strspn(line, " \t\r\n")] == 0)
            continue;
        if (!split_line(line, &key, &value) || !bench_params_set(params, key, value))
            ok = 0;
    }
    fclose(file);
    return ok;
}

int bench_params_read_module(BenchParams* params)
{
    Dl_info self;
    if (!dladdr((void*)bench_params_read_module, &self) || !self.dli_fname)
        return 0;
    char conf[4200];
    snprintf(conf, sizeof conf, "%s.conf", self.dli_fname);
    const int ok = bench_params_read(params, conf);
    if (!params->result[0])
        snprintf(params->result, sizeof params->result, "%s.result", self.dli_fname);
    return ok;
}

uint64_t bench_params_window(const BenchParams* params)
{
    if (params->window)
        return params->window;
    uint64_t window = WINDOW_BYTES / ((uint64_t)params->payload + sizeof(Message));
    return window < WINDOW_MIN ? WINDOW_MIN : window > WINDOW_MAX ? WINDOW_MAX : window;
}
