/*
 * Shipped module: a bridge to an MQTT broker, so that a recorder among many
 * can be watched and commanded from one place. It publishes the service's,
 * the modules' and each camera's state (retained), and events: segments
 * finished, recording gaps, disk errors, throttling on and off, stalled
 * modules, cameras connected and disconnected. It takes commands to pause
 * and resume a camera's recording (sent on to the modules as
 * routing/command_api.h records) and to publish every state again, and
 * answers each. Topics and payloads are in the README.
 *
 * Rules of the module contract shown here:
 * - Write runs on the service's event-handler thread, shared by every
 *   module: it only notes the record or puts a message into the outbox and
 *   returns; it keeps no payload. The network runs on libmosquitto's thread,
 *   the publishing on the bridge's own.
 * - The outbox is bounded (messages and bytes): while the broker is away
 *   events queue up to the bound and are dropped and counted beyond it;
 *   states replace their own older versions, so they take one place each.
 * - Close delivers what is still queued (two seconds at most while
 *   connected), publishes "offline" and disconnects. The service drops what
 *   modules send once its stop began, so a recorder's last segment events
 *   reach the bridge only if its stream ended before the stop.
 */
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "../common/host_services.h"
#include "../common/module_config.h"
#include "bridge_messages.h"
#include "broker_link.h"
#include "camera_states.h"
#include "command_desk.h"
#include "modules/module_api.h"
#include "outbox.h"
#include "routing/command_api.h"
#include "routing/message_api.h"
#include "routing/video_api.h"
#include "service_watch.h"

#define EXPORT __attribute__((visibility("default")))
#define TICK_MS 250
#define GAP_CAMERAS 64

/* Settings, read in Load and only read afterwards. */
typedef struct Settings {
    uint64_t module_id;
    BrokerSettings broker;
    Publishing publishing;
    int64_t state_period_ms;
    int64_t gap_ms;
    int answer_ms;
    size_t max_queued;
    size_t max_queued_bytes;
    int valid;              /* the settings can be used: Open connects */
} Settings;

/* The end of each camera's latest segment, to tell gaps (Write only). */
typedef struct SegmentEnd {
    char camera[32];
    int64_t end_ms;
} SegmentEnd;

static Settings settings;
static OrvCallback send_message;
static Outbox outbox;
static pthread_t publisher;
static int opened;              /* the outbox exists: set in Open */
static int publisher_running;   /* set in Open, cleared in Close after the join */
static atomic_int stopping;
static SegmentEnd segment_ends[GAP_CAMERAS]; /* Write only */
static int segment_end_count;                /* Write only */

/* A site's name: one topic level of letters, digits, '-', '_' and '.'. */
static int site_ok(const char* site)
{
    const size_t length = strlen(site);
    return length > 0 && length < sizeof settings.publishing.site &&
           strspn(site, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.") == length;
}

static void copy_setting(char* out, size_t size, const ModuleConfig* config, const char* key, const char* fallback)
{
    snprintf(out, size, "%s", module_config_text(config, key, fallback));
}

static void read_broker_settings(const ModuleConfig* config, BrokerSettings* broker, const char* site)
{
    char client_id[128];
    snprintf(client_id, sizeof client_id, "orvantis-%s", site);
    copy_setting(broker->host, sizeof broker->host, config, "host", "127.0.0.1");
    copy_setting(broker->client_id, sizeof broker->client_id, config, "client_id", client_id);
    copy_setting(broker->username, sizeof broker->username, config, "username", "");
    copy_setting(broker->password, sizeof broker->password, config, "password", "");
    copy_setting(broker->ca_file, sizeof broker->ca_file, config, "ca_file", "");
    copy_setting(broker->cert_file, sizeof broker->cert_file, config, "cert_file", "");
    copy_setting(broker->key_file, sizeof broker->key_file, config, "key_file", "");
    broker->port = (int)module_config_number(config, "port", broker->ca_file[0] ? 8883 : 1883);
    broker->protocol = strcmp(module_config_text(config, "protocol", "3.1.1"), "5") == 0 ? 5 : 3;
    broker->keepalive_seconds = (int)module_config_number(config, "keepalive_seconds", 30);
    broker->clean_session = module_config_number(config, "clean_session", 1) != 0;
    broker->reconnect_min_seconds = (int)module_config_number(config, "reconnect_min_seconds", 1);
    broker->reconnect_max_seconds = (int)module_config_number(config, "reconnect_max_seconds", 30);
    broker->max_inflight = (int)module_config_number(config, "max_inflight", 64);
    snprintf(broker->status_topic, sizeof broker->status_topic, "orvantis/%s/status", site);
    snprintf(broker->command_filter, sizeof broker->command_filter, "orvantis/%s/command/#", site);
}

/* 0 when a setting cannot be used (logged). */
static int check_settings(void)
{
    const BrokerSettings* broker = &settings.broker;
    if (!site_ok(settings.publishing.site))
        host_log(ORV_LOG_ERROR, "site \"%s\" is not a name of letters, digits, '-', '_' and '.'",
                 settings.publishing.site);
    else if (broker->port <= 0 || broker->port > 65535 || broker->keepalive_seconds < 5 ||
             broker->reconnect_min_seconds < 1 || broker->reconnect_max_seconds < broker->reconnect_min_seconds ||
             broker->max_inflight < 1 || settings.max_queued < 1 || settings.state_period_ms < 1000)
        host_log(ORV_LOG_ERROR, "a number in the settings is out of its range (see the README)");
    else if (!broker->clean_session && !broker->client_id[0])
        host_log(ORV_LOG_ERROR, "a persistent session needs a client_id");
    else
        return 1;
    return 0;
}

static void read_settings(void)
{
    ModuleConfig config;
    const int found = module_config_load(&config, (const void*)read_settings);
    settings.module_id = (uint64_t)module_config_number(&config, "module_id", 0x900);
    host_services_find("mqtt_bridge", settings.module_id);
    if (!found)
        host_log(ORV_LOG_WARNING, "cannot read %s, using the defaults", config.path);
    char host_name[64] = "orvantis";
    gethostname(host_name, sizeof host_name - 1);
    Publishing* publishing = &settings.publishing;
    copy_setting(publishing->site, sizeof publishing->site, &config, "site", host_name);
    publishing->discovery = module_config_number(&config, "discovery", 0) != 0;
    copy_setting(publishing->discovery_prefix, sizeof publishing->discovery_prefix, &config, "discovery_prefix",
                 "homeassistant");
    read_broker_settings(&config, &settings.broker, publishing->site);
    settings.state_period_ms = module_config_number(&config, "state_period_seconds", 60) * 1000;
    settings.gap_ms = (int64_t)(module_config_real(&config, "gap_seconds", 2) * 1000);
    settings.answer_ms = (int)module_config_number(&config, "answer_ms", 2000);
    settings.max_queued = (size_t)module_config_number(&config, "max_queued", 1000);
    settings.max_queued_bytes = (size_t)module_config_number(&config, "max_queued_kilobytes", 4096) * 1024;
    settings.valid = check_settings();
}

/* ---- the bridge's thread ------------------------------------------------ */

static int64_t monotonic_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

static int64_t wall_us(void)
{
    struct timeval now;
    gettimeofday(&now, NULL);
    return (int64_t)now.tv_sec * 1000000 + now.tv_usec;
}

/* `fresh`: a new connection, to a broker that may have lost what was
 * retained. */
static void publish_states(int all, int fresh)
{
    static CameraReport reports[CAMERA_STATES_MAX]; /* the bridge's thread only */
    service_watch_poll(all);
    const int count = camera_states_take(reports, all, wall_us());
    for (int i = 0; i < count; ++i)
        bridge_messages_camera(&reports[i], fresh || reports[i].first);
}

/* Hands waiting messages to the broker while it takes them. */
static void hand_over(void)
{
    OutboxItem* item;
    while (broker_link_connected() && (item = outbox_take(&outbox))) {
        if (!broker_link_publish(item)) {
            outbox_return(&outbox, item);
            return;
        }
        outbox_item_free(item);
    }
}

/* A line when the broker has been out of reach for twice the back-off cap
 * (5 s at least), once until connected again: libmosquitto's retries are
 * silent. `away_since` is 0 while connected. */
static void tell_if_away(int64_t now, int64_t* away_since, int* told)
{
    const int64_t patience = 2000 * (int64_t)settings.broker.reconnect_max_seconds;
    if (broker_link_connected()) {
        *away_since = 0;
        *told = 0;
    } else if (!*away_since) {
        *away_since = now;
    } else if (!*told && now - *away_since >= (patience > 5000 ? patience : 5000)) {
        host_log(ORV_LOG_WARNING, "no connection to the broker %s:%d for %lld s, still trying",
                 settings.broker.host, settings.broker.port, (long long)((now - *away_since) / 1000));
        *told = 1;
    }
}

static void* publish(void* unused)
{
    (void)unused;
    int64_t next_tick = 0, next_period = monotonic_ms() + settings.state_period_ms, away_since = 0;
    int told = 0;
    while (!atomic_load(&stopping)) {
        const int64_t now = monotonic_ms();
        tell_if_away(now, &away_since, &told);
        const int fresh = broker_link_fresh(), asked = command_desk_republish_asked();
        if (fresh || asked || now >= next_tick) {
            const int due = now >= next_period;
            if (due) /* on the period's own beat, not drifting by the tick */
                next_period = now - next_period < settings.state_period_ms ? next_period + settings.state_period_ms
                                                                          : now + settings.state_period_ms;
            const int all = fresh || asked || due;
            publish_states(all, fresh);
            command_desk_expire();
            next_tick = now + TICK_MS;
        }
        hand_over();
        outbox_wait(&outbox, TICK_MS);
    }
    /* The last messages, while the broker is there. */
    const int64_t deadline = monotonic_ms() + 2000;
    while (broker_link_connected() && outbox_counts(&outbox).waiting > 0 && monotonic_ms() < deadline) {
        hand_over();
        outbox_wait(&outbox, 50);
    }
    return NULL;
}

/* ---- Write's records ---------------------------------------------------- */

/* Notes the segment's end; a gap event when it starts well after the
 * camera's previous one ended. */
static void follow_segments(const RecordingEvent* event)
{
    SegmentEnd* end = NULL;
    for (int i = 0; i < segment_end_count && !end; ++i)
        if (strcmp(segment_ends[i].camera, event->camera) == 0)
            end = &segment_ends[i];
    if (!end && segment_end_count < GAP_CAMERAS) {
        end = &segment_ends[segment_end_count++];
        memcpy(end->camera, event->camera, sizeof end->camera);
        end->end_ms = 0;
    }
    if (!end)
        return;
    if (end->end_ms && event->start_ms - end->end_ms > settings.gap_ms)
        bridge_messages_gap(event->camera, end->end_ms, event->start_ms);
    end->end_ms = event->start_ms + event->length_ms;
}

static void take_recording_event(const WriteArgs* args)
{
    RecordingEvent event;
    memcpy(&event, args->body, sizeof event);
    if (event.size < sizeof event || event.version != ORV_COMMAND_RECORD_VERSION)
        return;
    event.camera[sizeof event.camera - 1] = 0;
    bridge_messages_recording(&event, args->length > 0 ? args->data : NULL, args->length);
    if (event.kind == ORV_RECORDING_SEGMENT_FINISHED)
        follow_segments(&event);
}

static void take_video(const WriteArgs* args)
{
    if (args->event == ORV_EVENT_VIDEO_STREAM) {
        VideoStream record;
        memcpy(&record, args->body, sizeof record);
        if (record.size >= sizeof record && record.version == ORV_VIDEO_RECORD_VERSION)
            camera_states_stream(&record);
        return;
    }
    VideoPacketCamera record;
    memcpy(&record, args->body, sizeof record);
    if (record.packet.size < sizeof record.packet || record.packet.version != ORV_VIDEO_RECORD_VERSION)
        return;
    const int named = record.packet.size >= sizeof record && memchr(record.camera, 0, sizeof record.camera) &&
                      record.camera[0];
    camera_states_packet(&record.packet, named ? record.camera : NULL, args->length);
}

/* ---- entry points ------------------------------------------------------- */

EXPORT int32_t Load(void* in, void* out)
{
    LoadArgs* args = in;
    ModuleInfo* info = out;
    send_message = args->callback;
    read_settings();
    service_watch_find();
    info->module_id = settings.module_id;
    info->class_mask[0] = ORV_VIDEO_PACKET_KEY;
    info->class_mask[1] = ORV_VIDEO_STREAM_KEY;
    info->class_mask[3] = ORV_COMMAND_ANSWER_KEY | ORV_RECORDING_EVENT_KEY;
    info->accepts_write = 1;
    return 0;
}

EXPORT int32_t Open(void* in, void* out)
{
    (void)in;
    (void)out;
    if (!settings.valid)
        return 1;
    outbox_init(&outbox, settings.max_queued, settings.max_queued_bytes);
    opened = 1;
    bridge_messages_start(&outbox, &settings.publishing);
    command_desk_start(send_message, settings.module_id, settings.answer_ms);
    if (!broker_link_start(&settings.broker, command_desk_take, &outbox)) {
        broker_link_stop();
        return 1;
    }
    publisher_running = pthread_create(&publisher, NULL, publish, NULL) == 0;
    if (!publisher_running) {
        broker_link_stop();
        return 1;
    }
    host_log(ORV_LOG_INFO, "publishing site %s to %s:%d (MQTT %s%s)", settings.publishing.site,
             settings.broker.host, settings.broker.port, settings.broker.protocol == 5 ? "5" : "3.1.1",
             settings.broker.ca_file[0] ? ", TLS" : "");
    return 0;
}

EXPORT int32_t Write(void* in, void* out)
{
    WriteArgs* args = in;
    (void)out;
    if (!publisher_running)
        return 0;
    if (args->event == ORV_EVENT_VIDEO_PACKET || args->event == ORV_EVENT_VIDEO_STREAM)
        take_video(args);
    else if (args->event == ORV_EVENT_RECORDING)
        take_recording_event(args);
    else if (args->event == ORV_EVENT_COMMAND_ANSWER) {
        CommandAnswer answer;
        memcpy(&answer, args->body, sizeof answer);
        answer.camera[sizeof answer.camera - 1] = 0;
        command_desk_answer(&answer);
    }
    return 0;
}

EXPORT int32_t IOCTL(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}

EXPORT int32_t Close(void* in, void* out)
{
    (void)in;
    (void)out;
    if (!publisher_running)
        return 0;
    atomic_store(&stopping, 1);
    outbox_wake(&outbox);
    pthread_join(publisher, NULL);
    publisher_running = 0;
    broker_link_stop();
    return 0;
}

EXPORT int32_t Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    if (!opened)
        return 0;
    const OutboxCounts counts = outbox_counts(&outbox);
    const BrokerCounts broker = broker_link_counts();
    host_log(ORV_LOG_INFO,
             "%llu messages queued, %llu acknowledged by the broker, %llu states replaced while waiting, "
             "%llu dropped beyond the bound, at most %llu waiting, %llu connections",
             (unsigned long long)counts.put, (unsigned long long)broker.acknowledged,
             (unsigned long long)counts.replaced, (unsigned long long)counts.dropped, (unsigned long long)counts.most,
             (unsigned long long)broker.connections);
    outbox_destroy(&outbox);
    return 0;
}
