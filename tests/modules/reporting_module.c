/*
 * A module that reports through the host's log and metrics with the shipped
 * modules' helper (shipped/common/host_services.c), built as an outside
 * author builds one: C, against the installed headers only.
 *
 * Its configuration ("<name>.conf" beside "<name>.so", as the shipped
 * modules read theirs):
 *   module_id = 0x7200
 *   log_lines = 0       Open starts a thread that logs this many lines
 *                       ("line <n>", info level) as fast as it can ...
 *   packets = 0         ... and counts this many packets of packet_bytes in
 *   packet_bytes = 100  test_packets_total and test_bytes_total (label
 *                       camera="front"), with test_connected set to 1
 * Close joins the thread and writes "<name>.totals" beside it:
 * "lines=<n> packets=<n> bytes=<n>", what it logged and counted.
 */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "common/host_services.h"
#include "common/module_config.h"
#include "modules/module_api.h"

#define EXPORT __attribute__((visibility("default")))

static long long log_lines, packets, packet_bytes;
static char totals_path[4200];
static pthread_t worker;
static int worker_started;
static long long lines_logged, packets_counted;  /* the worker's until Close joins it */

static void* report(void* unused)
{
    (void)unused;
    int64_t count = host_metric(ORV_METRIC_COUNTER, "test_packets_total", "Packets counted.", "camera", "front", NULL);
    int64_t bytes = host_metric(ORV_METRIC_COUNTER, "test_bytes_total", "Bytes counted.", "camera", "front", NULL);
    int64_t connected = host_metric(ORV_METRIC_GAUGE, "test_connected", "1 while connected.", "camera", "front", NULL);
    host_metric_set(connected, 1);
    for (; packets_counted < packets; ++packets_counted) {
        host_metric_add(count, 1);
        host_metric_add(bytes, (double)packet_bytes);
    }
    for (; lines_logged < log_lines; ++lines_logged)
        host_log(ORV_LOG_INFO, "line %lld", lines_logged);
    return NULL;
}

EXPORT int32_t Load(void* in, void* out)
{
    (void)in;
    ModuleInfo* info = out;
    ModuleConfig config;
    module_config_load(&config, (const void*)report);
    info->module_id = (uint64_t)module_config_number(&config, "module_id", 0x7200);
    log_lines = module_config_number(&config, "log_lines", 0);
    packets = module_config_number(&config, "packets", 0);
    packet_bytes = module_config_number(&config, "packet_bytes", 100);
    snprintf(totals_path, sizeof totals_path, "%.*s.totals", (int)(strlen(config.path) - strlen(".conf")),
             config.path);
    host_services_find("reporting", info->module_id);
    return 0;
}

EXPORT int32_t Open(void* in, void* out)
{
    (void)in;
    (void)out;
    worker_started = pthread_create(&worker, NULL, report, NULL) == 0;
    return 0;
}

EXPORT int32_t Close(void* in, void* out)
{
    (void)in;
    (void)out;
    if (worker_started)
        pthread_join(worker, NULL);
    worker_started = 0;
    FILE* totals = fopen(totals_path, "w");
    if (totals) {
        fprintf(totals, "lines=%lld packets=%lld bytes=%lld\n", lines_logged, packets_counted,
                packets_counted * packet_bytes);
        fclose(totals);
    }
    return 0;
}

EXPORT int32_t Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}
