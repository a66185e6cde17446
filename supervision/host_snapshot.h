// Filling a module's HostSnapshot (supervision/host_api.h) from a Core's
// counters. The service exports it to modules as "OrvHostSnapshot"
// (app/host_interface.cpp).
//
// Thread safety: any thread, while the Core is alive; it takes the stats'
// list lock only, never a lock that a module call may hold.
#pragma once

#include <cstdint>

#include "supervision/host_api.h"

class ServiceStats;

// 0 when filled, -1 when the caller's records are too small or of version 0
// (nothing is written then).
int32_t FillHostSnapshot(const ServiceStats& stats, bool throttling, HostSnapshot* snapshot);
