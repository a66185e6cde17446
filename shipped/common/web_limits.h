/*
 * What keeps one HTTP server module's clients from holding the others off:
 * room in the descriptor table for its connection limit, and a deadline for
 * each new connection to send its request in.
 */
#ifndef ORVANTIS_SHIPPED_WEB_LIMITS_H
#define ORVANTIS_SHIPPED_WEB_LIMITS_H

#include <microhttpd.h>

/* Descriptors kept free beside a server's connections for the service and
 * its other modules. */
#define WEB_LIMITS_SPARE_FDS 256

/* Raises the soft descriptor limit so that `connections` fit beside what the
 * service holds, as far as the hard limit allows; logs a warning when they
 * do not. */
void web_limits_make_room(unsigned connections);

/* For MHD_OPTION_NOTIFY_CONNECTION, with the deadline in seconds as its
 * closure (web_limits_seconds): a new connection has that long of silence
 * to send its request in. */
void web_limits_connection_started(void* seconds, struct MHD_Connection* connection, void** context,
                                   enum MHD_ConnectionNotificationCode code);

/* The closure web_limits_connection_started takes. */
#define web_limits_seconds(seconds) ((void*)(unsigned long)(seconds))

#endif
