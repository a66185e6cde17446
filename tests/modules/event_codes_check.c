/* Compiled as C11 and as C++17 by the tests: every event the interface
 * headers name has a bit of its own beside the video bit, so a class mask
 * taking one never takes another. The example camera's event is listed too,
 * as modules already use it. */
#include "routing/command_api.h"
#include "routing/message_api.h"
#include "routing/video_api.h"

#define OWN_BITS(event) ((event) & ~ORV_EVENT_VIDEO_BIT)
#define EXAMPLE_CAMERA_EVENT UINT64_C(0x1000400)

#define EVENT_LIST(X)                                                                                     \
    X(ORV_EVENT_TEXT) X(ORV_EVENT_DOCUMENT) X(ORV_EVENT_VIDEO_PACKET) X(ORV_EVENT_VIDEO_STREAM)          \
    X(EXAMPLE_CAMERA_EVENT) X(ORV_EVENT_COMMAND) X(ORV_EVENT_COMMAND_ANSWER) X(ORV_EVENT_RECORDING)      \
    X(ORV_EVENT_AUDIO_PACKET) X(ORV_EVENT_AUDIO_STREAM)

/* Bits that overlap make the OR of the events smaller than their sum. */
#define OR_OF(event) | OWN_BITS(event)
#define SUM_OF(event) + OWN_BITS(event)
#ifdef __cplusplus
static_assert((0 EVENT_LIST(OR_OF)) == (0 EVENT_LIST(SUM_OF)), "two events share a bit");
#else
_Static_assert((0 EVENT_LIST(OR_OF)) == (0 EVENT_LIST(SUM_OF)), "two events share a bit");
#endif
