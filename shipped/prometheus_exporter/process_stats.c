#define _GNU_SOURCE
#include "process_stats.h"

#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

static void read_memory(ProcessStats* stats)
{
    unsigned long long pages_virtual, pages_resident;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (!statm)
        return;
    if (fscanf(statm, "%llu %llu", &pages_virtual, &pages_resident) == 2) {
        const uint64_t page = (uint64_t)sysconf(_SC_PAGESIZE);
        stats->virtual_bytes = pages_virtual * page;
        stats->resident_bytes = pages_resident * page;
    }
    fclose(statm);
}

static void count_fds(ProcessStats* stats)
{
    DIR* fds = opendir("/proc/self/fd");
    if (!fds)
        return;
    uint64_t count = 0;
    for (struct dirent* entry; (entry = readdir(fds)) != NULL;)
        count += entry->d_name[0] != '.';
    closedir(fds);
    stats->open_fds = count - 1;  /* not the directory's own descriptor */
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0)
        stats->max_fds = limit.rlim_cur;
}

/* The boot time in seconds since the epoch, or 0. */
static double boot_time(void)
{
    char line[256];
    double seconds = 0;
    FILE* stat = fopen("/proc/stat", "r");
    if (!stat)
        return 0;
    while (fgets(line, sizeof line, stat))
        if (sscanf(line, "btime %lf", &seconds) == 1)
            break;
    fclose(stat);
    return seconds;
}

/* Field 22 of /proc/self/stat: the start in clock ticks after boot. The
 * command name (field 2) may hold spaces, so fields count from its ')'. */
static void read_start_time(ProcessStats* stats)
{
    char text[1024];
    FILE* stat = fopen("/proc/self/stat", "r");
    if (!stat)
        return;
    size_t length = fread(text, 1, sizeof text - 1, stat);
    fclose(stat);
    text[length] = '\0';
    const char* field = strrchr(text, ')');
    unsigned long long ticks;
    const double boot = boot_time();
    if (!field || !boot)
        return;
    for (int i = 2; i < 22 && field; ++i)
        field = strchr(field + 1, ' ');
    if (field && sscanf(field, " %llu", &ticks) == 1)
        stats->start_time_seconds = boot + (double)ticks / (double)sysconf(_SC_CLK_TCK);
}

void process_stats_read(ProcessStats* stats)
{
    memset(stats, 0, sizeof *stats);
    struct rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) == 0)
        stats->cpu_seconds = (double)usage.ru_utime.tv_sec + (double)usage.ru_stime.tv_sec +
                             ((double)usage.ru_utime.tv_usec + (double)usage.ru_stime.tv_usec) / 1e6;
    read_memory(stats);
    count_fds(stats);
    read_start_time(stats);
}
