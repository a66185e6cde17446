/*
 * The metrics page: one snapshot of the service's counters rendered in the
 * Prometheus text exposition format, version 0.0.4. Every family has its
 * HELP and TYPE lines and all its samples together; each module's samples
 * carry the labels module="<file name>" and id="0x<module id in hex>".
 *
 * File names are bytes: in a label value '\', '"' and newline are escaped,
 * and each byte that does not belong to a valid UTF-8 sequence becomes
 * U+FFFD, so every page is valid UTF-8 whatever the names hold.
 *
 * Thread safety: no state of its own; any thread may render.
 */
#ifndef ORVANTIS_SHIPPED_METRICS_PAGE_H
#define ORVANTIS_SHIPPED_METRICS_PAGE_H

#include <stddef.h>

#include "supervision/host_api.h"

#define METRICS_PAGE_CONTENT_TYPE "text/plain; version=0.0.4; charset=utf-8"

/* Renders the page. `snapshot` is a filled snapshot whose first
 * min(module_count, module_capacity) records are filled, or null when there
 * is none (a service without the host interface, or one that answered no
 * snapshot): the page then holds only orvantis_host_interface_available,
 * which says `host_interface`. Returns a malloc'ed text of *length bytes (the
 * caller frees it), or null when memory ran out. */
char* metrics_page_render(const HostSnapshot* snapshot, int host_interface, size_t* length);

#endif
