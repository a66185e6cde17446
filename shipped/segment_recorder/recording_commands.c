#include "recording_commands.h"

#include <pthread.h>
#include <stdatomic.h>
#include <string.h>

#include "routing/command_api.h"

#define PAUSED_MAX 64
#define NAME_SIZE sizeof(((ModuleCommand*)0)->camera)

/* Set in Load, only read afterwards. */
static OrvCallback send_message;
static uint64_t own_id;

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static char paused[PAUSED_MAX][NAME_SIZE]; /* guarded by lock: the first `paused_count` are in use */
static atomic_int paused_count;            /* written under lock; read without it to skip the lock
                                              while nothing is paused, the usual case */

void recording_commands_start(OrvCallback send, uint64_t module_id)
{
    send_message = send;
    own_id = module_id;
}

static void send_record(uint64_t event, const void* record, size_t size, const char* payload)
{
    Message message;
    MessageResult result = {sizeof result, 1, 0};
    memset(&message, 0, sizeof message);
    message.size = sizeof message;
    message.version = ORV_MESSAGE_VERSION;
    message.source_id = own_id;
    message.flags = ORV_COMMAND_FLAGS;
    message.event = event;
    memcpy(message.body, record, size);
    if (payload) {
        message.data = (void*)payload; /* copied by the service */
        message.length = (int32_t)strlen(payload);
    }
    send_message(&message, &result);
}

static int find_paused(const char* camera)
{
    for (int i = 0; i < atomic_load(&paused_count); ++i)
        if (strcmp(paused[i], camera) == 0)
            return i;
    return -1;
}

/* Pauses or resumes; whether there was room. Under lock. */
static int set_paused(const char* camera, int pause)
{
    int at = find_paused(camera);
    int count = atomic_load(&paused_count);
    if (pause && at < 0) {
        if (count == PAUSED_MAX)
            return 0;
        memcpy(paused[count], camera, NAME_SIZE);
        atomic_store(&paused_count, count + 1);
    } else if (!pause && at >= 0) {
        memcpy(paused[at], paused[count - 1], NAME_SIZE);
        atomic_store(&paused_count, count - 1);
    }
    return 1;
}

/* A name that can be a camera's folder: not empty, no '/', not led by '.'. */
static int name_ok(const char* name)
{
    size_t n = strnlen(name, NAME_SIZE);
    return n > 0 && n < NAME_SIZE && !memchr(name, '/', n) && name[0] != '.';
}

static uint32_t carry_out(const ModuleCommand* command, uint32_t* recording)
{
    if (command->command != ORV_COMMAND_PAUSE_RECORDING && command->command != ORV_COMMAND_RESUME_RECORDING)
        return ORV_COMMAND_UNKNOWN;
    if (!name_ok(command->camera))
        return ORV_COMMAND_BAD_CAMERA;
    pthread_mutex_lock(&lock);
    uint32_t result = set_paused(command->camera, command->command == ORV_COMMAND_PAUSE_RECORDING)
                          ? ORV_COMMAND_DONE : ORV_COMMAND_NOT_POSSIBLE;
    *recording = find_paused(command->camera) < 0;
    pthread_mutex_unlock(&lock);
    return result;
}

int recording_commands_take(const WriteArgs* args)
{
    if (args->event != ORV_EVENT_COMMAND)
        return 0;
    ModuleCommand command;
    memcpy(&command, args->body, sizeof command);
    CommandAnswer answer;
    memset(&answer, 0, sizeof answer);
    answer.size = sizeof answer;
    answer.version = ORV_COMMAND_RECORD_VERSION;
    answer.command_id = command.command_id;
    answer.command = command.command;
    answer.recording = 1;
    if (command.size < sizeof command || command.version != ORV_COMMAND_RECORD_VERSION)
        answer.result = ORV_COMMAND_UNKNOWN;
    else
        answer.result = carry_out(&command, &answer.recording);
    memcpy(answer.camera, command.camera, NAME_SIZE);
    answer.camera[NAME_SIZE - 1] = 0;
    send_record(ORV_EVENT_COMMAND_ANSWER, &answer, sizeof answer, NULL);
    return 1;
}

int recording_commands_paused(const char* camera)
{
    if (atomic_load(&paused_count) == 0)
        return 0;
    pthread_mutex_lock(&lock);
    int found = find_paused(camera) >= 0;
    pthread_mutex_unlock(&lock);
    return found;
}

static RecordingEvent event_of(uint32_t kind, uint64_t source, const char* camera)
{
    RecordingEvent event;
    memset(&event, 0, sizeof event);
    event.size = sizeof event;
    event.version = ORV_COMMAND_RECORD_VERSION;
    event.kind = kind;
    event.source = source;
    strncpy(event.camera, camera, sizeof event.camera - 1);
    return event;
}

void recording_commands_finished(uint64_t source, const char* camera, const char* path, int64_t start_ms,
                                 int64_t length_ms, uint64_t bytes, unsigned long packets, unsigned long key_frames,
                                 unsigned long gaps)
{
    RecordingEvent event = event_of(ORV_RECORDING_SEGMENT_FINISHED, source, camera);
    event.start_ms = start_ms;
    event.length_ms = length_ms;
    event.bytes = bytes;
    event.packets = packets;
    event.key_frames = (uint32_t)key_frames;
    event.gaps = (uint32_t)gaps;
    send_record(ORV_EVENT_RECORDING, &event, sizeof event, path);
}

void recording_commands_disk_error(uint64_t source, const char* camera, const char* path, int error)
{
    RecordingEvent event = event_of(ORV_RECORDING_DISK_ERROR, source, camera);
    event.error = error;
    send_record(ORV_EVENT_RECORDING, &event, sizeof event, path);
}
