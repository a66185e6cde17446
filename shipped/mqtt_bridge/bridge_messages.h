/*
 * What the bridge publishes, topic by topic, as JSON (the README gives each
 * schema): retained states under orvantis/<site>/, events under
 * orvantis/<site>/event/<kind> with a sequence number and a UTC time, the
 * answers to commands on orvantis/<site>/reply, and, when asked for, the
 * retained discovery messages of home automation. Each is put into the
 * outbox; none waits for the broker.
 *
 * Thread safety: bridge_messages_start in Open; the others from any thread
 * (the sequence number is atomic, the rest only read).
 */
#ifndef ORVANTIS_MQTT_BRIDGE_MESSAGES_H
#define ORVANTIS_MQTT_BRIDGE_MESSAGES_H

#include <stdint.h>

#include "camera_states.h"
#include "outbox.h"
#include "routing/command_api.h"
#include "supervision/host_api.h"

typedef struct Publishing {
    char site[64];
    int discovery;              /* publish home automation's discovery messages */
    char discovery_prefix[64];  /* "homeassistant" */
} Publishing;

void bridge_messages_start(Outbox* outbox, const Publishing* publishing);

/* "orvantis/<site>" */
const char* bridge_messages_base(void);

/* A camera's state, and its event when its connection changed; with
 * `discover` (and discovery on) its discovery messages first. */
void bridge_messages_camera(const CameraReport* report, int discover);
void bridge_messages_service(const HostSnapshot* snapshot);
void bridge_messages_module(const ModuleCounters* module);

/* Events. `path` is the payload of the recorder's record (not NUL-terminated). */
void bridge_messages_recording(const RecordingEvent* event, const char* path, int path_length);
void bridge_messages_gap(const char* camera, int64_t from_ms, int64_t to_ms);
void bridge_messages_throttling(int throttling);
void bridge_messages_stalled(const ModuleCounters* module, uint64_t more);

/* An answer on the reply topic: `error` null for success. `recording` < 0
 * when the command says nothing of a recording. */
void bridge_messages_reply(const char* id, const char* command, const char* camera, const char* error,
                           int recording);

#endif
