/*
 * A shipped module's way to the host's log and metrics
 * (supervision/host_api.h), with standard error as the fallback under a
 * service that does not offer them.
 *
 * host_services_find, called once in Load (before any other of these
 * functions), looks the host's functions up with dlsym on the main program.
 * Without them, host_log writes "NAME: TEXT" lines to standard error and the
 * metric functions do nothing (host_metric gives 0, which the others accept).
 *
 * Thread safety: host_services_find on the main thread in Load; the others
 * from any thread afterwards, until Unload returns.
 */
#ifndef ORVANTIS_SHIPPED_HOST_SERVICES_H
#define ORVANTIS_SHIPPED_HOST_SERVICES_H

#include <stdint.h>

#include "supervision/host_api.h"

/* `name` (kept, not copied: a literal) names the module in fallback lines;
 * `module_id` is the id its Load returns. */
void host_services_find(const char* name, uint64_t module_id);

/* 1 when the host writes the lines (0: standard error). */
int host_log_available(void);

/* A printf-style line at ORV_LOG_ERROR .. ORV_LOG_DEBUG. */
void host_log(uint32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));

/* Declares a metric (ORV_METRIC_COUNTER or ORV_METRIC_GAUGE) with up to
 * ORV_METRIC_LABELS label pairs, given as name, value, ..., NULL. Returns
 * its handle, or 0 when there is none (no host, or a declaration the host
 * refused: a line on the log says which). */
int64_t host_metric(uint32_t type, const char* name, const char* help, ...) __attribute__((sentinel));

/* Cheap enough for every packet; do nothing for handle 0. */
void host_metric_set(int64_t handle, double value);
void host_metric_add(int64_t handle, double amount);

/* Every module's metrics at this moment, malloc'ed, with their number in
 * *count; null (and 0) without the host's metrics or memory. */
MetricReading* host_metrics_take(uint32_t* count);

#endif
