#include "bridge_messages.h"

#include <stdatomic.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>

#include "../common/host_services.h"
#include "json_text.h"

/* Set in Open, only read afterwards. */
static Outbox* box;
static Publishing publishing;
static char base[96];
static atomic_uint_least64_t sequence; /* the latest event's number */

void bridge_messages_start(Outbox* outbox, const Publishing* given)
{
    box = outbox;
    publishing = *given;
    snprintf(base, sizeof base, "orvantis/%s", publishing.site);
}

const char* bridge_messages_base(void)
{
    return base;
}

static int64_t now_ms(void)
{
    struct timeval now;
    gettimeofday(&now, NULL);
    return (int64_t)now.tv_sec * 1000 + now.tv_usec / 1000;
}

static void put(const char* topic, JsonWriter* json, int retain)
{
    const char* text = json_end(json);
    if (text)
        outbox_put(box, topic, text, json->length, retain);
    else
        host_log(ORV_LOG_WARNING, "a message for %s is too long, not sent", topic);
}

static void put_event(const char* kind, JsonWriter* json)
{
    char topic[160];
    snprintf(topic, sizeof topic, "%s/event/%s", base, kind);
    json_integer(json, "sequence", (long long)atomic_fetch_add(&sequence, 1) + 1);
    json_time(json, "time", now_ms());
    put(topic, json, 0);
}

/* A name usable in a discovery topic and id: [a-zA-Z0-9_-]. */
static void object_id(char* out, size_t size, const char* name)
{
    snprintf(out, size, "%s", name);
    for (char* c = out; *c; ++c)
        if (!((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') || *c == '-'))
            *c = '_';
}

static void publish_discovery(const char* camera, const char* state_topic, const char* what, const char* field,
                              const char* device_class)
{
    char node[80], object[96], topic[320], name[80], unique[200], value[96], device[240], status[128];
    object_id(node, sizeof node, publishing.site);
    object_id(object, sizeof object, camera);
    snprintf(topic, sizeof topic, "%s/binary_sensor/orvantis_%s/%s_%s/config", publishing.discovery_prefix, node,
             object, what);
    snprintf(name, sizeof name, "%s %s", camera, what);
    snprintf(unique, sizeof unique, "orvantis_%s_%s_%s", node, object, what);
    snprintf(value, sizeof value, "{{ 'ON' if value_json.%s else 'OFF' }}", field);
    snprintf(device, sizeof device, "{\"identifiers\":[\"orvantis_%s\"],\"name\":\"Orvantis %s\"}", node, node);
    snprintf(status, sizeof status, "%s/status", base);
    JsonWriter json;
    json_begin(&json);
    json_string(&json, "name", name);
    json_string(&json, "unique_id", unique);
    json_string(&json, "state_topic", state_topic);
    json_string(&json, "value_template", value);
    if (device_class)
        json_string(&json, "device_class", device_class);
    json_string(&json, "availability_topic", status);
    json_raw(&json, "device", device);
    put(topic, &json, 1);
}

/* Makes `name` one topic level: no '/', '+' or '#'. */
static void topic_level(char* name)
{
    for (char* c = name; *c; ++c)
        if (*c == '/' || *c == '+' || *c == '#')
            *c = '_';
}

void bridge_messages_camera(const CameraReport* report, int discover)
{
    char level[sizeof report->camera], topic[160];
    memcpy(level, report->camera, sizeof level);
    topic_level(level);
    snprintf(topic, sizeof topic, "%s/camera/%s/state", base, level);
    if (discover && publishing.discovery) {
        publish_discovery(report->camera, topic, "connected", "connected", "connectivity");
        publish_discovery(report->camera, topic, "recording", "recording", NULL);
    }
    if (report->connected_changed) {
        JsonWriter event;
        json_begin(&event);
        json_string(&event, "camera", report->camera);
        json_integer(&event, "source", (long long)report->source);
        json_bool(&event, "connected", report->connected);
        put_event("camera", &event);
    }
    JsonWriter json;
    json_begin(&json);
    json_string(&json, "camera", report->camera);
    json_integer(&json, "source", (long long)report->source);
    json_bool(&json, "connected", report->connected);
    json_bool(&json, "recording", report->recording);
    json_string(&json, "codec", report->codec);
    json_integer(&json, "width", report->width);
    json_integer(&json, "height", report->height);
    json_real(&json, "frame_rate", report->frame_rate);
    json_integer(&json, "bitrate", (long long)report->bitrate);
    json_real(&json, "last_packet_age", report->last_packet_age);
    json_integer(&json, "packets", (long long)report->packets);
    json_integer(&json, "bytes", (long long)report->bytes);
    json_integer(&json, "connections", (long long)report->connections);
    json_time(&json, "time", now_ms());
    put(topic, &json, 1);
}

void bridge_messages_service(const HostSnapshot* snapshot)
{
    char topic[160];
    snprintf(topic, sizeof topic, "%s/service", base);
    JsonWriter json;
    json_begin(&json);
    json_bool(&json, "throttling", snapshot->throttling);
    json_integer(&json, "throttling_changes", (long long)snapshot->throttling_changes);
    json_integer(&json, "modules", snapshot->module_count);
    json_integer(&json, "queue_depth", (long long)snapshot->queue_depth);
    json_integer(&json, "messages_delivered", (long long)snapshot->messages_delivered);
    if (snapshot->version >= 2 && snapshot->memory_allocated != UINT64_MAX) {
        json_integer(&json, "memory_allocated", (long long)snapshot->memory_allocated);
        json_integer(&json, "memory_limit", (long long)snapshot->memory_limit);
    }
    json_real(&json, "uptime", (double)snapshot->uptime_ms / 1000);
    json_time(&json, "time", now_ms());
    put(topic, &json, 1);
}

/* "video_source.so" -> "video_source". */
static void module_name(char* out, size_t size, const ModuleCounters* module)
{
    snprintf(out, size, "%.*s", (int)strnlen(module->file_name, sizeof module->file_name), module->file_name);
    const size_t length = strlen(out);
    if (length > 3 && strcmp(out + length - 3, ".so") == 0)
        out[length - 3] = 0;
    topic_level(out);
}

static void module_fields(JsonWriter* json, const ModuleCounters* module)
{
    char name[256], id[24];
    module_name(name, sizeof name, module);
    snprintf(id, sizeof id, "0x%08llX", (unsigned long long)module->module_id);
    json_string(json, "module", name);
    json_string(json, "id", id);
}

void bridge_messages_module(const ModuleCounters* module)
{
    char name[256], topic[400];
    module_name(name, sizeof name, module);
    snprintf(topic, sizeof topic, "%s/module/%s", base, name);
    JsonWriter json;
    json_begin(&json);
    module_fields(&json, module);
    if (module->version >= 2) {
        json_bool(&json, "opened", module->opened);
        json_integer(&json, "open_code", module->open_code);
    }
    json_integer(&json, "waiting", (long long)module->waiting);
    json_integer(&json, "holds", (long long)module->holds_now);
    json_integer(&json, "stalled_calls", (long long)module->stalled_calls);
    json_time(&json, "time", now_ms());
    put(topic, &json, 1);
}

void bridge_messages_recording(const RecordingEvent* event, const char* path, int path_length)
{
    JsonWriter json;
    json_begin(&json);
    json_string(&json, "camera", event->camera);
    json_integer(&json, "source", (long long)event->source);
    json_bytes(&json, "path", path ? path : "", path ? (size_t)path_length : 0);
    if (event->kind == ORV_RECORDING_SEGMENT_FINISHED) {
        json_time(&json, "start", event->start_ms);
        json_time(&json, "end", event->start_ms + event->length_ms);
        json_real(&json, "length", (double)event->length_ms / 1000);
        json_integer(&json, "bytes", (long long)event->bytes);
        json_integer(&json, "packets", (long long)event->packets);
        json_integer(&json, "key_frames", event->key_frames);
        json_integer(&json, "gaps", event->gaps);
        put_event("segment", &json);
    } else {
        json_integer(&json, "error", event->error);
        if (event->error < 0 && event->error > -4096)
            json_string(&json, "reason", strerror(-event->error));
        put_event("disk_error", &json);
    }
}

void bridge_messages_gap(const char* camera, int64_t from_ms, int64_t to_ms)
{
    JsonWriter json;
    json_begin(&json);
    json_string(&json, "camera", camera);
    json_time(&json, "from", from_ms);
    json_time(&json, "to", to_ms);
    json_real(&json, "length", (double)(to_ms - from_ms) / 1000);
    put_event("gap", &json);
}

void bridge_messages_throttling(int throttling)
{
    JsonWriter json;
    json_begin(&json);
    json_bool(&json, "throttling", throttling);
    put_event("throttling", &json);
}

void bridge_messages_stalled(const ModuleCounters* module, uint64_t more)
{
    JsonWriter json;
    json_begin(&json);
    module_fields(&json, module);
    json_integer(&json, "stalled_calls", (long long)module->stalled_calls);
    json_integer(&json, "new", (long long)more);
    put_event("stalled", &json);
}

void bridge_messages_reply(const char* id, const char* command, const char* camera, const char* error,
                           int recording)
{
    char topic[160];
    snprintf(topic, sizeof topic, "%s/reply", base);
    JsonWriter json;
    json_begin(&json);
    if (id)
        json_string(&json, "id", id);
    json_string(&json, "command", command);
    if (camera)
        json_string(&json, "camera", camera);
    json_string(&json, "result", error ? "error" : "ok");
    if (error)
        json_string(&json, "error", error);
    if (recording >= 0)
        json_bool(&json, "recording", recording);
    json_time(&json, "time", now_ms());
    put(topic, &json, 0);
}
