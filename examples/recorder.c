/*
 * Example module: a recorder that appends the camera's frames to a segment
 * file.
 *
 * Write runs on the service's event-handler thread, which delivers to every
 * module in turn, so it must not wait for the disk: it keeps the payload
 * (keeps_buffer), queues it and returns. A writer thread of the module's own
 * appends the queued frames to the segment and then sends exactly one release
 * per kept payload. Close lets the writer finish the queue and joins it.
 *
 * Settings: the segment file is "recorder-segment.bin" in the service's
 * working directory, or the path on the first line of "recorder.conf" beside
 * this library.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "frame.h"
#include "modules/module_api.h"
#include "routing/message_api.h"

#define RECORDER_ID UINT64_C(0x200)
#define DEFAULT_SEGMENT "recorder-segment.bin"

typedef struct Kept {
    void* data;
    int32_t length;
    struct Kept* next;
} Kept;

static OrvCallback send_message;
static char segment_path[4096] = DEFAULT_SEGMENT;
static pthread_t writer;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t queued = PTHREAD_COND_INITIALIZER;
static Kept* head;          /* guarded by lock: frames waiting for the disk */
static Kept* tail;          /* guarded by lock */
static int closing;         /* guarded by lock */
static int writer_started;  /* main thread only: Open started the writer */

/* Reads the optional "recorder.conf" beside this library. */
static void read_settings(void)
{
    Dl_info self;
    if (!dladdr((void*)read_settings, &self) || !self.dli_fname)
        return;
    char conf[4096];
    const char* slash = strrchr(self.dli_fname, '/');
    int dir = slash ? (int)(slash - self.dli_fname + 1) : 0;
    snprintf(conf, sizeof conf, "%.*srecorder.conf", dir, self.dli_fname);
    FILE* f = fopen(conf, "r");
    if (!f)
        return;
    if (fgets(segment_path, sizeof segment_path, f))
        segment_path[strcspn(segment_path, "\r\n")] = 0;
    fclose(f);
}

static void release(void* data)
{
    Message message;
    MessageResult result = {sizeof result, 1, 0};
    memset(&message, 0, sizeof message);
    message.size = sizeof message;
    message.version = ORV_MESSAGE_VERSION;
    message.flags = ORV_CMD_RELEASE;
    message.data = data;
    message.source_id = RECORDER_ID;
    send_message(&message, &result);
}

/* Takes the next kept frame; null once closing and the queue is empty. */
static Kept* next_frame(void)
{
    pthread_mutex_lock(&lock);
    while (!head && !closing)
        pthread_cond_wait(&queued, &lock);
    Kept* kept = head;
    if (kept) {
        head = kept->next;
        if (!head)
            tail = NULL;
    }
    pthread_mutex_unlock(&lock);
    return kept;
}

static void* write_frames(void* unused)
{
    (void)unused;
    FILE* segment = fopen(segment_path, "ab");
    if (!segment)
        fprintf(stderr, "recorder: cannot open %s\n", segment_path);
    Kept* kept;
    while ((kept = next_frame())) {
        if (segment) {
            fwrite(kept->data, 1, (size_t)kept->length, segment);
            fflush(segment);
        }
        release(kept->data);
        free(kept);
    }
    if (segment)
        fclose(segment);
    return NULL;
}

int32_t Load(void* in, void* out)
{
    LoadArgs* args = in;
    ModuleInfo* info = out;
    send_message = args->callback;
    read_settings();
    info->module_id = RECORDER_ID;
    info->class_mask[0] = FRAME_MATCH_MASK;
    info->class_mask[5] = 1;
    info->accepts_write = 1;
    return 0;
}

int32_t Open(void* in, void* out)
{
    (void)in;
    (void)out;
    writer_started = pthread_create(&writer, NULL, write_frames, NULL) == 0;
    return writer_started ? 0 : 1;
}

int32_t Write(void* in, void* out)
{
    WriteArgs* args = in;
    WriteReply* reply = out;
    if (args->event != FRAME_EVENT || !args->data)
        return 0;
    Kept* kept = malloc(sizeof *kept);
    if (!kept)
        return 1;
    kept->data = args->data;
    kept->length = args->length;
    kept->next = NULL;
    pthread_mutex_lock(&lock);
    if (tail)
        tail->next = kept;
    else
        head = kept;
    tail = kept;
    pthread_cond_signal(&queued);
    pthread_mutex_unlock(&lock);
    reply->keeps_buffer = 1;
    return 0;
}

int32_t IOCTL(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}

int32_t Close(void* in, void* out)
{
    (void)in;
    (void)out;
    pthread_mutex_lock(&lock);
    closing = 1;
    pthread_cond_signal(&queued);
    pthread_mutex_unlock(&lock);
    if (writer_started)
        pthread_join(writer, NULL);
    return 0;
}

int32_t Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}
