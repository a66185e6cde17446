#define _GNU_SOURCE
#include "metrics_page.h"

#include <inttypes.h>
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

static void write_label_value(FILE* out, const char* bytes, size_t count)
{
    const unsigned char* text = (const unsigned char*)bytes;
    for (size_t i = 0; i < count;) {
        size_t length = utf8_sequence(text + i, count - i);
        if (length == 0)
            fputs("\xEF\xBF\xBD", out);
        else if (text[i] == '\\')
            fputs("\\\\", out);
        else if (text[i] == '"')
            fputs("\\\"", out);
        else if (text[i] == '\n')
            fputs("\\n", out);
        else
            fwrite(text + i, 1, length, out);
        i += length ? length : 1;
    }
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
    return module->size >= sizeof *module && module->version >= 1 ? module : NULL;
}

static void write_module_families(FILE* out, const HostSnapshot* snapshot)
{
    uint32_t count = snapshot->module_count < snapshot->module_capacity ? snapshot->module_count
                                                                        : snapshot->module_capacity;
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
}

char* metrics_page_render(const HostSnapshot* snapshot, int host_interface, size_t* length)
{
    char* text = NULL;
    FILE* out = open_memstream(&text, length);
    if (!out)
        return NULL;
    write_service_value(out, "orvantis_host_interface_available", "gauge",
                        "1 when the service tells modules its counters.", host_interface != 0, 0);
    if (snapshot) {
        write_service_families(out, snapshot);
        write_module_families(out, snapshot);
    }
    int failed = ferror(out);
    if (fclose(out) != 0 || failed) {
        free(text);
        return NULL;
    }
    return text;
}
