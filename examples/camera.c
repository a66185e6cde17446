/*
 * Example module: a synthetic camera.
 *
 * Its IOCTL worker (the long-running call the service makes right after Load
 * when wants_ioctl_worker is set) sends one generated video frame every
 * FRAME_INTERVAL_MS until Close asks it to stop. While the service throttles
 * video it refuses frames with result 5; the camera counts those and moves on.
 *
 * Rules shown here: the worker call may run as long as the module likes, but
 * Close must make it return; payload notices arrive through the same IOCTL
 * entry on the event-handler thread and must return quickly; the frame buffer
 * can be reused at once because the service copies what it keeps.
 */
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "frame.h"
#include "modules/module_api.h"
#include "routing/message_api.h"

#define CAMERA_ID UINT64_C(0x100)
#define FRAME_INTERVAL_MS 40

static OrvCallback send_message;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t stop_requested = PTHREAD_COND_INITIALIZER;
static int stopping;       /* guarded by lock */
static uint32_t sent;      /* worker thread only */
static uint32_t refused;   /* worker thread only */

int32_t Load(void* in, void* out)
{
    LoadArgs* args = in;
    ModuleInfo* info = out;
    send_message = args->callback;
    info->module_id = CAMERA_ID;
    info->class_mask[5] = 2; /* closes before the recorder (larger key first) */
    info->wants_ioctl_worker = 1;
    return 0;
}

int32_t Open(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}

static void make_frame(uint8_t* frame, uint32_t sequence)
{
    FrameHeader header = {FRAME_MAGIC, sequence, FRAME_PIXELS, 0};
    uint8_t* pixels = frame + sizeof header;
    for (uint32_t i = 0; i < FRAME_PIXELS; ++i) {
        pixels[i] = (uint8_t)(sequence * 7 + i);
        header.checksum += pixels[i];
    }
    memcpy(frame, &header, sizeof header);
}

static int32_t send_frame(uint8_t* frame, uint32_t sequence)
{
    Message message;
    MessageResult result = {sizeof result, 1, 0};
    memset(&message, 0, sizeof message);
    message.size = sizeof message;
    message.version = ORV_MESSAGE_VERSION;
    message.length = (int32_t)(sizeof(FrameHeader) + FRAME_PIXELS);
    message.data = frame;
    message.source_id = CAMERA_ID;
    message.flags = FRAME_FLAGS;
    message.event = FRAME_EVENT;
    make_frame(frame, sequence);
    send_message(&message, &result);
    return result.result;
}

/* Waits one frame interval; returns nonzero once Close has asked to stop. */
static int wait_interval(void)
{
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += FRAME_INTERVAL_MS * 1000000L;
    deadline.tv_sec += deadline.tv_nsec / 1000000000L;
    deadline.tv_nsec %= 1000000000L;
    pthread_mutex_lock(&lock);
    while (!stopping && pthread_cond_timedwait(&stop_requested, &lock, &deadline) == 0)
        ;
    int stop = stopping;
    pthread_mutex_unlock(&lock);
    return stop;
}

static void run_camera(void)
{
    static uint8_t frame[sizeof(FrameHeader) + FRAME_PIXELS];
    uint32_t sequence = 0;
    while (!wait_interval()) {
        int32_t result = send_frame(frame, sequence);
        if (result == ORV_RESULT_OK) {
            ++sent;
            ++sequence;
        } else if (result == ORV_RESULT_THROTTLED) {
            ++refused;
        }
    }
}

int32_t IOCTL(void* in, void* out)
{
    IoctlArgs* args = in;
    (void)out;
    if (args->code == ORV_IOCTL_WORKER)
        run_camera();
    return 0;
}

int32_t Close(void* in, void* out)
{
    (void)in;
    (void)out;
    pthread_mutex_lock(&lock);
    stopping = 1;
    pthread_cond_broadcast(&stop_requested);
    pthread_mutex_unlock(&lock);
    return 0;
}

int32_t Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    /* The service has waited for the worker to return before calling Unload. */
    fprintf(stderr, "camera: %u frames sent, %u refused while throttling\n", sent, refused);
    return 0;
}
