// The callback that every module receives in LoadArgs: its one way to send a
// message into the Core.
//
// Thread safety: any thread of a module may call it, at any time from the
// start of the module's Load until its Unload returns, also from inside the
// module's entry points. It finds the Core through Core::AcquireInstance, which
// keeps the Core from being destroyed while the call is inside it.
#pragma once

#include <cstdint>

#include "routing/message_api.h"

// Hands the message to Dispatch of the current Core and returns 0; the outcome
// of the send is in result->result (1 when there is no Core).
extern "C" int32_t ModuleCallback(const Message* message, MessageResult* result);
