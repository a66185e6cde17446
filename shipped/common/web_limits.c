#include "web_limits.h"

#include <sys/resource.h>

#include "host_services.h"

void web_limits_make_room(unsigned connections)
{
    struct rlimit limit;
    rlim_t wanted = (rlim_t)connections + WEB_LIMITS_SPARE_FDS;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted)
        return;
    limit.rlim_cur = limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted ? limit.rlim_max : wanted;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur < wanted)
        host_log(ORV_LOG_WARNING, "the descriptor limit (%llu) holds fewer than %u connections",
                 (unsigned long long)limit.rlim_cur, connections);
}

void web_limits_connection_started(void* seconds, struct MHD_Connection* connection, void** context,
                                   enum MHD_ConnectionNotificationCode code)
{
    (void)context;
    if (code == MHD_CONNECTION_NOTIFY_STARTED)
        MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT, (unsigned)(unsigned long)seconds);
}
