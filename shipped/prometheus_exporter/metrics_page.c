#define _GNU_SOURCE
#include "metrics_page.h"

#include <inttypes.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define FIELD(name) offsetof(ModuleCounters, name)

/* A per-module family whose value is one counter of ModuleCounters. */
typedef struct ModuleFamily {
    const char* name;
    const char* type;
    const char* help;
    size_t field;  /* offset of its uint64_t in ModuleCounters */
    int digits;    /* 9: the field counts nanoseconds, rendered as seconds */
} ModuleFamily;

static const ModuleFamily module_families[] = {
    {"orvantis_module_sent_bytes_total", "counter", "Payload bytes of the module's accepted sends.",
     FIELD(sent_bytes), 0},
    {"orvantis_module_messages_waiting", "gauge", "The module's accepted messages not yet delivered to every module.",
     FIELD(waiting), 0},
    {"orvantis_module_messages_delivered_total", "counter", "Messages delivered to the module through Write.",
     FIELD(write_messages), 0},
    {"orvantis_module_delivered_bytes_total", "counter", "Payload bytes of the messages delivered through Write.",
     FIELD(write_bytes), 0},
    {"orvantis_module_notices_delivered_total", "counter", "Payload notices delivered to the module through IOCTL.",
     FIELD(notice_messages), 0},
    {"orvantis_module_notice_bytes_total", "counter", "Payload bytes of the notices delivered through IOCTL.",
     FIELD(notice_bytes), 0},
    {"orvantis_module_payload_holds", "gauge", "Payloads the module keeps now.", FIELD(holds_now), 0},
    {"orvantis_module_releases_total", "counter", "Release commands the module sent.", FIELD(releases), 0},
    {"orvantis_module_releases_unmatched_total", "counter", "Release commands that named no payload the module held.",
     FIELD(releases_unmatched), 0},
    {"orvantis_module_write_seconds_total", "counter",
     "Time inside the module's Write, estimated from about one call in 32.", FIELD(write_ns_total), 9},
    {"orvantis_module_write_seconds_max", "gauge", "The longest Write of the module seen so far.",
     FIELD(write_ns_max), 9},
    {"orvantis_module_stalled_calls_total", "counter",
     "Calls of the module on the service's own threads that ran over 2 seconds.", FIELD(stalled_calls), 0},
};

/* The samples of orvantis_module_messages_sent_total, one per send result. */
static const struct {
    const char* result;
    size_t field;
} send_results[] = {
    {"accepted", FIELD(sent_accepted)},
    {"refused", FIELD(sent_refused)},
    {"throttled", FIELD(sent_throttled)},
    {"no_memory", FIELD(sent_no_memory)},
};

static void write_family(FILE* out, const char* name, const char* type, const char* help)
{
    fprintf(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

/* The value and the end of its line: a count, or with `digits` 3 or 9 a count
 * of milliseconds or nanoseconds as exact seconds. */
static void write_value(FILE* out, uint64_t value, int digits)
{
    if (digits == 0) {
        fprintf(out, " %" PRIu64 "\n", value);
        return;
    }
    uint64_t unit = digits == 3 ? 1000 : 1000000000;
    fprintf(out, " %" PRIu64 ".%0*" PRIu64 "\n", value / unit, digits, value % unit);
}

static void write_service_value(FILE* out, const char* name, const char* type, const char* help, uint64_t value,
                                int digits)
{
    write_family(out, name, type, help);
    fputs(name, out);
    write_value(out, value, digits);
}

/* The length of the valid UTF-8 sequence that starts `text` (`left` bytes
 * remain), or 0 when the byte at `text` starts none. Overlong forms,
 * surrogates and code points above U+10FFFF are not valid. */
static size_t utf8_sequence(const unsigned char* text, size_t left)
{
    unsigned char lead = text[0], low = 0x80, high = 0xBF;
    size_t length;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    } else {
        return 0;
    }
    if (left < length || text[1] < low || text[1] > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if ((text[i] & 0xC0) != 0x80)
            return 0;
    return length;
}

/* Bytes as valid UTF-8 with '\\' and newline escaped, and '"' with `quotes`. */
static void write_escaped(FILE* out, const char* bytes, size_t count, int quotes)
{
    const unsigned char* text = (const unsigned char*)bytes;
    for (size_t i = 0; i < count;) {
        size_t length = utf8_sequence(text + i, count - i);
        if (length == 0)
            fputs("\xEF\xBF\xBD", out);
        else if (text[i] == '\\')
            fputs("\\\\", out);
        else if (text[i] == '"' && quotes)
            fputs("\\\"", out);
        else if (text[i] == '\n')
            fputs("\\n", out);
        else
            fwrite(text + i, 1, length, out);
        i += length ? length : 1;
    }
}

static void write_label_value(FILE* out, const char* bytes, size_t count)
{
    write_escaped(out, bytes, count, 1);
}

/* name{module="...",id="0x..." — the caller adds further labels and '}'. */
static void write_module_labels(FILE* out, const char* name, const ModuleCounters* module)
{
    fprintf(out, "%s{module=\"", name);
    write_label_value(out, module->file_name, strnlen(module->file_name, sizeof module->file_name));
    fprintf(out, "\",id=\"0x%" PRIx64 "\"", module->module_id);
}

static uint64_t counter_at(const ModuleCounters* module, size_t field)
{
    uint64_t value;
    memcpy(&value, (const char*)module + field, sizeof value);
    return value;
}

/* The i-th record, or null when it is not a complete version 1 record. */
static const ModuleCounters* module_record(const HostSnapshot* snapshot, uint32_t i)
{
    const ModuleCounters* module = (const ModuleCounters*)((const char*)snapshot->modules +
                                                           (size_t)i * snapshot->module_size);
    return module->size >= offsetof(ModuleCounters, open_code) && module->version >= 1 ? module : NULL;
}

static uint32_t module_records(const HostSnapshot* snapshot)
{
    return snapshot->module_count < snapshot->module_capacity ? snapshot->module_count : snapshot->module_capacity;
}

/* Open codes come with version 2 records. */
static void write_open_codes(FILE* out, const HostSnapshot* snapshot)
{
    write_family(out, "orvantis_module_open_code", "gauge",
                 "What the module's Open returned: 0 when it opened, absent before the open pass.");
    for (uint32_t i = 0; i < module_records(snapshot); ++i) {
        const ModuleCounters* module = module_record(snapshot, i);
        if (!module || module->version < 2 || module->size < sizeof *module || !module->opened)
            continue;
        write_module_labels(out, "orvantis_module_open_code", module);
        fprintf(out, "} %" PRId32 "\n", module->open_code);
    }
}

static void write_module_families(FILE* out, const HostSnapshot* snapshot)
{
    uint32_t count = module_records(snapshot);
    write_family(out, "orvantis_module_messages_sent_total", "counter",
                 "Messages the module sent, by the service's answer.");
    for (uint32_t i = 0; i < count; ++i) {
        const ModuleCounters* module = module_record(snapshot, i);
        for (size_t r = 0; module && r < sizeof send_results / sizeof send_results[0]; ++r) {
            write_module_labels(out, "orvantis_module_messages_sent_total", module);
            fprintf(out, ",result=\"%s\"}", send_results[r].result);
            write_value(out, counter_at(module, send_results[r].field), 0);
        }
    }
    for (size_t f = 0; f < sizeof module_families / sizeof module_families[0]; ++f) {
        const ModuleFamily* family = &module_families[f];
        write_family(out, family->name, family->type, family->help);
        for (uint32_t i = 0; i < count; ++i) {
            const ModuleCounters* module = module_record(snapshot, i);
            if (!module)
                continue;
            write_module_labels(out, family->name, module);
            fputc('}', out);
            write_value(out, counter_at(module, family->field), family->digits);
        }
    }
    write_open_codes(out, snapshot);
}

static void write_service_families(FILE* out, const HostSnapshot* s)
{
    write_service_value(out, "orvantis_messages_queued_total", "counter", "Messages accepted into the event queue.",
                        s->messages_queued, 0);
    write_service_value(out, "orvantis_messages_delivered_total", "counter",
                        "Messages that went through their delivery pass.", s->messages_delivered, 0);
    write_service_value(out, "orvantis_queue_messages", "gauge", "Messages queued, not yet delivered.",
                        s->queue_depth, 0);
    write_service_value(out, "orvantis_queue_messages_max", "gauge", "The most messages queued at once so far.",
                        s->queue_depth_max, 0);
    write_service_value(out, "orvantis_queue_bytes", "gauge", "Payload bytes of the queued messages.",
                        s->queue_bytes, 0);
    write_service_value(out, "orvantis_throttling", "gauge", "1 while video messages are refused for low memory.",
                        s->throttling != 0, 0);
    write_service_value(out, "orvantis_throttling_changes_total", "counter", "Times the throttling state changed.",
                        s->throttling_changes, 0);
    write_service_value(out, "orvantis_uptime_seconds", "gauge", "Time since the service started.", s->uptime_ms, 3);
    write_service_value(out, "orvantis_modules", "gauge", "Modules the service lists.", s->module_count, 0);
    if (s->version < 2 || s->size < sizeof *s)
        return;
    if (s->memory_allocated != UINT64_MAX)
        write_service_value(out, "orvantis_memory_allocated_bytes", "gauge",
                            "Bytes allocated, the figure that throttling compares with its limit.",
                            s->memory_allocated, 0);
    write_service_value(out, "orvantis_memory_limit_bytes", "gauge",
                        "Above this many allocated bytes video messages are refused.", s->memory_limit, 0);
}

static void write_build_info(FILE* out, const char* version)
{
    write_family(out, "orvantis_build_info", "gauge", "The service's version, as a label; always 1.");
    fputs("orvantis_build_info{version=\"", out);
    write_label_value(out, version, strlen(version));
    fputs("\"} 1\n", out);
}

static void write_real(FILE* out, const char* name, const char* type, const char* help, double value)
{
    write_family(out, name, type, help);
    fprintf(out, "%s %.17g\n", name, value);
}

static void write_process_families(FILE* out, const ProcessStats* p)
{
    write_real(out, "process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.",
               p->cpu_seconds);
    write_real(out, "process_open_fds", "gauge", "Number of open file descriptors.", (double)p->open_fds);
    write_real(out, "process_max_fds", "gauge", "Maximum number of open file descriptors.", (double)p->max_fds);
    write_real(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
               (double)p->resident_bytes);
    write_real(out, "process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.",
               (double)p->virtual_bytes);
    if (p->start_time_seconds > 0)
        write_real(out, "process_start_time_seconds", "gauge",
                   "Start time of the process since unix epoch in seconds.", p->start_time_seconds);
}

/* ---- metrics the modules publish ---------------------------------------- */

/* Families of the service's own (after the "orvantis_" prefix), which a
 * module's metric may not take. */
static int builtin_family(const char* name)
{
    static const char* const own[] = {"build_info", "host_interface_available", "messages_queued_total",
                                      "messages_delivered_total", "queue_messages", "queue_messages_max",
                                      "queue_bytes", "throttling", "throttling_changes_total", "uptime_seconds",
                                      "modules", "memory_allocated_bytes", "memory_limit_bytes"};
    if (strncmp(name, "module_", 7) == 0)
        return 1;
    for (size_t i = 0; i < sizeof own / sizeof own[0]; ++i)
        if (strcmp(name, own[i]) == 0)
            return 1;
    return 0;
}

static const char* file_name_of(const HostSnapshot* snapshot, uint64_t module_id, size_t* length)
{
    for (uint32_t i = 0; snapshot && i < module_records(snapshot); ++i) {
        const ModuleCounters* module = module_record(snapshot, i);
        if (module && module->module_id == module_id) {
            *length = strnlen(module->file_name, sizeof module->file_name);
            return module->file_name;
        }
    }
    *length = 0;
    return "";
}

static void write_reading(FILE* out, const MetricReading* m, const HostSnapshot* snapshot)
{
    size_t length;
    const char* file = file_name_of(snapshot, m->module_id, &length);
    fprintf(out, "orvantis_%s{module=\"", m->name);
    write_label_value(out, file, length);
    fprintf(out, "\",id=\"0x%" PRIx64 "\"", m->module_id);
    for (uint32_t l = 0; l < m->label_count && l < ORV_METRIC_LABELS; ++l) {
        fprintf(out, ",%s=\"", m->labels[l][0]);
        write_label_value(out, m->labels[l][1], strnlen(m->labels[l][1], ORV_METRIC_LABEL_SIZE));
        fputc('"', out);
    }
    if (m->value != m->value)
        fputs("} NaN\n", out);
    else if (m->value > 1.7976931348623157e308 || m->value < -1.7976931348623157e308)
        fprintf(out, "} %cInf\n", m->value > 0 ? '+' : '-');
    else
        fprintf(out, "} %.17g\n", m->value);
}

static int by_name(const void* a, const void* b)
{
    const MetricReading* const* x = a;
    const MetricReading* const* y = b;
    int order = strcmp((*x)->name, (*y)->name);
    /* Declaration order within a family: the array's order. */
    return order ? order : (*x < *y ? -1 : *x > *y);
}

/* Families together: the readings sorted by name, HELP and TYPE from the
 * first declaration of each name. */
static int write_module_metrics(FILE* out, const PageInput* input)
{
    const MetricReading** sorted = calloc(input->metric_count ? input->metric_count : 1, sizeof *sorted);
    if (!sorted)
        return 0;
    uint32_t count = 0;
    for (uint32_t i = 0; i < input->metric_count; ++i)
        if (!builtin_family(input->metrics[i].name))
            sorted[count++] = &input->metrics[i];
    qsort(sorted, count, sizeof *sorted, by_name);
    for (uint32_t i = 0; i < count; ++i) {
        const MetricReading* m = sorted[i];
        if (i == 0 || strcmp(m->name, sorted[i - 1]->name) != 0) {
            fprintf(out, "# HELP orvantis_%s ", m->name);
            write_escaped(out, m->help, strnlen(m->help, sizeof m->help), 0);
            fprintf(out, "\n# TYPE orvantis_%s %s\n", m->name, m->type == ORV_METRIC_COUNTER ? "counter" : "gauge");
        }
        write_reading(out, m, input->snapshot);
    }
    free(sorted);
    return 1;
}

char* metrics_page_render(const PageInput* input, size_t* length)
{
    char* text = NULL;
    FILE* out = open_memstream(&text, length);
    if (!out)
        return NULL;
    write_build_info(out, input->version);
    write_service_value(out, "orvantis_host_interface_available", "gauge",
                        "1 when the service tells modules its counters.", input->host_interface != 0, 0);
    if (input->process)
        write_process_families(out, input->process);
    if (input->snapshot) {
        write_service_families(out, input->snapshot);
        write_module_families(out, input->snapshot);
    }
    int failed = input->metrics && !write_module_metrics(out, input);
    failed = ferror(out) || failed;
    if (fclose(out) != 0 || failed) {
        free(text);
        return NULL;
    }
    return text;
}
