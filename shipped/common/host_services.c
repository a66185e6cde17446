#define _GNU_SOURCE
#include "host_services.h"

#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Set in Load, only read afterwards. */
static const char* module_name = "module";
static uint64_t own_id;
static OrvHostLogFn log_fn;
static OrvHostMetricDeclareFn declare_fn;
static OrvHostMetricSetFn set_fn;
static OrvHostMetricAddFn add_fn;
static OrvHostMetricsFn metrics_fn;

/* ISO C has no cast from an object pointer to a function pointer. */
static void find(void* self, const char* symbol, void* function, size_t size)
{
    void* found = self ? dlsym(self, symbol) : NULL;
    memcpy(function, &found, size);
}

void host_services_find(const char* name, uint64_t module_id)
{
    module_name = name;
    own_id = module_id;
    void* self = dlopen(NULL, RTLD_NOW);
    find(self, ORV_HOST_LOG_SYMBOL, &log_fn, sizeof log_fn);
    find(self, ORV_HOST_METRIC_DECLARE_SYMBOL, &declare_fn, sizeof declare_fn);
    find(self, ORV_HOST_METRIC_SET_SYMBOL, &set_fn, sizeof set_fn);
    find(self, ORV_HOST_METRIC_ADD_SYMBOL, &add_fn, sizeof add_fn);
    find(self, ORV_HOST_METRICS_SYMBOL, &metrics_fn, sizeof metrics_fn);
    if (self)
        dlclose(self);
}

int host_log_available(void)
{
    return log_fn != NULL;
}

void host_log(uint32_t level, const char* format, ...)
{
    char text[ORV_LOG_TEXT_MAX + 1];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length < 0)
        return;
    if (!log_fn) {
        fprintf(stderr, "%s: %s\n", module_name, text);
        return;
    }
    HostLogLine line = {sizeof line, ORV_HOST_LOG_VERSION, own_id, text, 0, level};
    line.length = (uint32_t)((size_t)length < sizeof text ? (size_t)length : sizeof text - 1);
    log_fn(&line);
}

int64_t host_metric(uint32_t type, const char* name, const char* help, ...)
{
    if (!declare_fn)
        return 0;
    MetricDeclaration declaration;
    memset(&declaration, 0, sizeof declaration);
    declaration.size = sizeof declaration;
    declaration.version = ORV_METRIC_DECLARATION_VERSION;
    declaration.module_id = own_id;
    declaration.name = name;
    declaration.help = help;
    declaration.type = type;
    va_list labels;
    va_start(labels, help);
    const char* label;
    while ((label = va_arg(labels, const char*)) != NULL && declaration.label_count < ORV_METRIC_LABELS) {
        declaration.labels[declaration.label_count].name = label;
        declaration.labels[declaration.label_count++].value = va_arg(labels, const char*);
    }
    va_end(labels);
    int64_t handle = declare_fn(&declaration);
    if (handle < 0)
        host_log(ORV_LOG_WARNING, "metric %s not published: %s", name,
                 handle == ORV_METRIC_FULL ? "the service holds no more metrics" : "refused by the service");
    return handle > 0 ? handle : 0;
}

void host_metric_set(int64_t handle, double value)
{
    if (handle && set_fn)
        set_fn(handle, value);
}

void host_metric_add(int64_t handle, double amount)
{
    if (handle && add_fn)
        add_fn(handle, amount);
}

MetricReading* host_metrics_take(uint32_t* count)
{
    uint32_t capacity = 64;
    *count = 0;
    /* Metrics declared between two calls can outgrow the array: asked again,
     * with room for what the host said it has. */
    for (int attempt = 0; metrics_fn && attempt < 3; ++attempt) {
        MetricReading* readings = calloc(capacity, sizeof *readings);
        if (!readings)
            return NULL;
        MetricSnapshot snapshot = {sizeof snapshot, ORV_METRIC_SNAPSHOT_VERSION, readings, capacity,
                                   sizeof *readings, 0, 0};
        if (metrics_fn(&snapshot) != 0) {
            free(readings);
            return NULL;
        }
        if (snapshot.metric_count <= capacity) {
            *count = snapshot.metric_count;
            return readings;
        }
        free(readings);
        capacity = snapshot.metric_count + 16;
    }
    return NULL;
}
