/*
 * The process figures Prometheus users expect of every exporter (the
 * process_* metrics), read from the kernel at each scrape.
 *
 * Thread safety: no state of its own; any thread.
 */
#ifndef ORVANTIS_SHIPPED_PROCESS_STATS_H
#define ORVANTIS_SHIPPED_PROCESS_STATS_H

#include <stdint.h>

typedef struct ProcessStats {
    double cpu_seconds;          /* user and system time */
    double start_time_seconds;   /* since the Unix epoch; 0 when unknown */
    uint64_t resident_bytes;
    uint64_t virtual_bytes;
    uint64_t open_fds;
    uint64_t max_fds;            /* the soft limit */
} ProcessStats;

/* Fills what it can read; a figure it cannot read stays 0. */
void process_stats_read(ProcessStats* stats);

#endif
