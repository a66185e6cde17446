/* Compiled as C11 and as C++17 by the tests: the command and recording
 * records on their own, filled the way a sender fills them. */
#include "routing/command_api.h"

#include <string.h>

int orv_command_api_check(void);

int orv_command_api_check(void)
{
    ModuleCommand command;
    CommandAnswer answer;
    RecordingEvent event;
    memset(&command, 0, sizeof command);
    memset(&answer, 0, sizeof answer);
    memset(&event, 0, sizeof event);
    command.size = sizeof command;
    command.version = ORV_COMMAND_RECORD_VERSION;
    command.command_id = 7;
    command.command = ORV_COMMAND_PAUSE_RECORDING;
    strcpy(command.camera, "front-door");
    answer.size = sizeof answer;
    answer.version = ORV_COMMAND_RECORD_VERSION;
    answer.command_id = command.command_id;
    answer.result = ORV_COMMAND_DONE;
    memcpy(answer.camera, command.camera, sizeof command.camera);
    event.size = sizeof event;
    event.version = ORV_COMMAND_RECORD_VERSION;
    event.kind = ORV_RECORDING_SEGMENT_FINISHED;
    event.start_ms = INT64_C(1736086981123);
    return sizeof command <= 168 && sizeof answer <= 168 && sizeof event <= 168 &&
           sizeof answer.camera == sizeof command.camera && sizeof event.camera == sizeof command.camera &&
           ORV_COMMAND_KEY == (ORV_EVENT_COMMAND << 1) && ORV_COMMAND_ANSWER_KEY == (ORV_EVENT_COMMAND_ANSWER << 1) &&
           ORV_RECORDING_EVENT_KEY == (ORV_EVENT_RECORDING << 1) &&
           (ORV_COMMAND_KEY & ORV_COMMAND_ANSWER_KEY) != ORV_COMMAND_ANSWER_KEY &&
           (ORV_COMMAND_ANSWER_KEY & ORV_RECORDING_EVENT_KEY) != ORV_RECORDING_EVENT_KEY;
}
