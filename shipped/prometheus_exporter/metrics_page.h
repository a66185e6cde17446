/*
 * The metrics page: one snapshot of the service's counters rendered in the
 * Prometheus text exposition format, version 0.0.4. Every family has its
 * HELP and TYPE lines and all its samples together; each module's samples
 * carry the labels module="<file name>" and id="0x<module id in hex>". The
 * metrics that modules publish follow as orvantis_<their name>, with those
 * two labels and their own; one whose name is taken by the service's own
 * families is left out.
 *
 * File names, label values and help texts are bytes: '\' and newline are
 * escaped ('"' too in label values), and each byte that does not belong to a
 * valid UTF-8 sequence becomes U+FFFD, so every page is valid UTF-8 whatever
 * the modules hold.
 *
 * Thread safety: no state of its own; any thread may render.
 */
#ifndef ORVANTIS_SHIPPED_METRICS_PAGE_H
#define ORVANTIS_SHIPPED_METRICS_PAGE_H

#include <stddef.h>

#include "process_stats.h"
#include "supervision/host_api.h"

#define METRICS_PAGE_CONTENT_TYPE "text/plain; version=0.0.4; charset=utf-8"

/* What one page shows. */
typedef struct PageInput {
    int host_interface;              /* the service offers the snapshot function */
    const HostSnapshot* snapshot;    /* filled (its first min(module_count,
                                        module_capacity) records), or null */
    const MetricReading* metrics;    /* the modules' metrics, or null */
    uint32_t metric_count;
    const ProcessStats* process;     /* or null */
    const char* version;             /* the service's version */
} PageInput;

/* Renders the page. Without a snapshot it holds the build information, the
 * process figures and orvantis_host_interface_available, which says
 * `host_interface`. Returns a malloc'ed text of *length bytes (the caller
 * frees it), or null when memory ran out. */
char* metrics_page_render(const PageInput* input, size_t* length);

#endif
