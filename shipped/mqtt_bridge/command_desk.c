#include "command_desk.h"

#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "../common/host_services.h"
#include "bridge_messages.h"
#include "camera_states.h"
#include "json_text.h"
#include "routing/message_api.h"

#define WAITING_MAX 32
#define ID_SIZE JSON_VALUE_SIZE
#define CAMERA_SIZE sizeof(((ModuleCommand*)0)->camera)

typedef struct Waiting {
    uint64_t command_id;   /* 0: a free place */
    uint32_t command;
    char id[ID_SIZE];      /* the asker's "id", echoed; empty when none */
    char camera[CAMERA_SIZE];
    int64_t deadline_ms;   /* monotonic */
} Waiting;

/* Set in Open, only read afterwards. */
static OrvCallback send_message;
static uint64_t own_id;
static int answer_ms;

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static Waiting waiting[WAITING_MAX]; /* guarded by lock */
static uint64_t last_command_id;     /* guarded by lock */
static atomic_int republish;

void command_desk_start(OrvCallback send, uint64_t module_id, int answer_milliseconds)
{
    send_message = send;
    own_id = module_id;
    answer_ms = answer_milliseconds;
}

static int64_t monotonic_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

static const char* verb_of(uint32_t command)
{
    return command == ORV_COMMAND_PAUSE_RECORDING ? "pause" : "resume";
}

/* Answers an error and logs it. */
static void refuse(const char* id, const char* verb, const char* camera, const char* error)
{
    host_log(ORV_LOG_WARNING, "command %s refused: %s", verb, error);
    bridge_messages_reply(id, verb, camera, error, -1);
}

/* A place in the table for a new command; 0 when full. */
static uint64_t wait_for_answer(uint32_t command, const char* id, const char* camera)
{
    uint64_t command_id = 0;
    pthread_mutex_lock(&lock);
    for (int i = 0; i < WAITING_MAX && !command_id; ++i) {
        if (waiting[i].command_id)
            continue;
        command_id = ++last_command_id;
        waiting[i].command_id = command_id;
        waiting[i].command = command;
        snprintf(waiting[i].id, sizeof waiting[i].id, "%s", id);
        snprintf(waiting[i].camera, sizeof waiting[i].camera, "%.*s", (int)sizeof waiting[i].camera - 1, camera);
        waiting[i].deadline_ms = monotonic_ms() + answer_ms;
    }
    pthread_mutex_unlock(&lock);
    return command_id;
}

/* Takes the waiting command `command_id` out of the table; 0 when none. */
static int take_waiting(uint64_t command_id, Waiting* out)
{
    int found = 0;
    pthread_mutex_lock(&lock);
    for (int i = 0; i < WAITING_MAX && !found; ++i)
        if (waiting[i].command_id == command_id) {
            *out = waiting[i];
            waiting[i].command_id = 0;
            found = 1;
        }
    pthread_mutex_unlock(&lock);
    return found;
}

static int send_command(uint64_t command_id, uint32_t command, const char* camera)
{
    ModuleCommand record;
    memset(&record, 0, sizeof record);
    record.size = sizeof record;
    record.version = ORV_COMMAND_RECORD_VERSION;
    record.command_id = command_id;
    record.command = command;
    snprintf(record.camera, sizeof record.camera, "%.*s", (int)sizeof record.camera - 1, camera);
    Message message;
    MessageResult result = {sizeof result, 1, 0};
    memset(&message, 0, sizeof message);
    message.size = sizeof message;
    message.version = ORV_MESSAGE_VERSION;
    message.source_id = own_id;
    message.flags = ORV_COMMAND_FLAGS;
    message.event = ORV_EVENT_COMMAND;
    memcpy(message.body, &record, sizeof record);
    send_message(&message, &result);
    return result.result == ORV_RESULT_OK;
}

/* Whether `name` can be a camera's: 1 to 31 bytes of letters, digits, '-',
 * '_' and '.', not led by '.'. */
static int camera_name_ok(const char* name)
{
    const size_t length = strlen(name);
    return length > 0 && length < CAMERA_SIZE && name[0] != '.' &&
           strspn(name, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.") == length;
}

static void recording_command(uint32_t command, const char* id, const JsonField* camera)
{
    const char* verb = verb_of(command);
    if (!camera || !camera->is_string || !camera_name_ok(camera->value)) {
        refuse(id, verb, NULL, "\"camera\" must name a camera");
        return;
    }
    const uint64_t command_id = wait_for_answer(command, id ? id : "", camera->value);
    if (!command_id) {
        refuse(id, verb, camera->value, "too many commands wait for an answer");
        return;
    }
    Waiting unused;
    if (!send_command(command_id, command, camera->value) && take_waiting(command_id, &unused))
        refuse(id, verb, camera->value, "the service did not take the command");
}

void command_desk_take(const char* topic, const void* payload, int length)
{
    const char* base = bridge_messages_base();
    const size_t base_length = strlen(base);
    if (strncmp(topic, base, base_length) != 0 || strncmp(topic + base_length, "/command/", 9) != 0)
        return;
    const char* verb = topic + base_length + 9;
    JsonField fields[8];
    const int count = json_read_object(payload, length > 0 ? (size_t)length : 0, fields, 8);
    const JsonField* given_id = count > 0 ? json_field(fields, count, "id") : NULL;
    const char* id = given_id ? given_id->value : NULL;
    if (count < 0) {
        refuse(NULL, verb, NULL, "malformed command: not a flat JSON object");
        return;
    }
    if (strcmp(verb, "pause") == 0 || strcmp(verb, "resume") == 0) {
        recording_command(verb[0] == 'p' ? ORV_COMMAND_PAUSE_RECORDING : ORV_COMMAND_RESUME_RECORDING, id,
                          json_field(fields, count, "camera"));
    } else if (strcmp(verb, "status") == 0) {
        atomic_store(&republish, 1);
        bridge_messages_reply(id, verb, NULL, NULL, -1);
    } else {
        refuse(id, verb, NULL, "unknown command");
    }
}

static const char* error_of(uint32_t result)
{
    switch (result) {
    case ORV_COMMAND_DONE:
        return NULL;
    case ORV_COMMAND_BAD_CAMERA:
        return "the module cannot take that camera's name";
    case ORV_COMMAND_NOT_POSSIBLE:
        return "the module cannot carry it out now";
    default:
        return "the module does not know the command";
    }
}

void command_desk_answer(const CommandAnswer* answer)
{
    Waiting asked;
    if (answer->size < sizeof *answer || !take_waiting(answer->command_id, &asked))
        return; /* another sender's command, or answered already */
    const char* error = error_of(answer->result);
    if (error)
        host_log(ORV_LOG_WARNING, "command %s of camera %s: %s", verb_of(asked.command), asked.camera, error);
    else
        camera_states_recording(asked.camera, answer->recording != 0);
    bridge_messages_reply(asked.id[0] ? asked.id : NULL, verb_of(asked.command), asked.camera, error,
                          error ? -1 : answer->recording != 0);
}

void command_desk_expire(void)
{
    const int64_t now = monotonic_ms();
    for (;;) {
        Waiting late;
        int found = 0;
        pthread_mutex_lock(&lock);
        for (int i = 0; i < WAITING_MAX && !found; ++i)
            if (waiting[i].command_id && waiting[i].deadline_ms <= now) {
                late = waiting[i];
                waiting[i].command_id = 0;
                found = 1;
            }
        pthread_mutex_unlock(&lock);
        if (!found)
            return;
        refuse(late.id[0] ? late.id : NULL, verb_of(late.command), late.camera, "no module answered");
    }
}

int command_desk_republish_asked(void)
{
    return atomic_exchange(&republish, 0);
}
