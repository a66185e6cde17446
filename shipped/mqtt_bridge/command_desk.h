/*
 * Commands from the broker: orvantis/<site>/command/<name> with a JSON
 * object (see the README). "pause" and "resume" become a ModuleCommand
 * (routing/command_api.h) sent to every module that takes commands; the
 * first answer becomes the reply, or an error when no module answered
 * within `answer_ms`. "status" asks the bridge to publish every state again
 * and is answered at once. A command that is unknown or malformed is
 * answered with an error and logged, and never sent on.
 *
 * Thread safety: command_desk_start in Open; command_desk_take on
 * libmosquitto's thread, command_desk_answer on the event-handler thread,
 * command_desk_expire on the bridge's thread. The table of commands waiting
 * for an answer is shared under the desk's lock; replies are put into the
 * outbox after the lock is let go.
 */
#ifndef ORVANTIS_MQTT_COMMAND_DESK_H
#define ORVANTIS_MQTT_COMMAND_DESK_H

#include <stdint.h>

#include "modules/module_api.h"
#include "routing/command_api.h"

void command_desk_start(OrvCallback send, uint64_t module_id, int answer_ms);

/* A message on `topic`, under the command topics. */
void command_desk_take(const char* topic, const void* payload, int length);

/* An answer from a module. */
void command_desk_answer(const CommandAnswer* answer);

/* Answers the commands whose time ran out. */
void command_desk_expire(void);

/* 1 once after a "status" command. */
int command_desk_republish_asked(void);

#endif
