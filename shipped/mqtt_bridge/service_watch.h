/*
 * The service's and its modules' state, read through the host's snapshot
 * (supervision/host_api.h): throttling on and off and modules whose calls
 * stalled become events; the service's figures and each module's open code,
 * waiting messages, holds and stalled calls are published as states, on
 * change and when asked for.
 *
 * Thread safety: service_watch_find in Load; service_watch_poll on the
 * bridge's thread only, which owns what it remembers.
 */
#ifndef ORVANTIS_MQTT_SERVICE_WATCH_H
#define ORVANTIS_MQTT_SERVICE_WATCH_H

void service_watch_find(void);

/* Reads the snapshot and publishes what changed, or everything when `all`. */
void service_watch_poll(int all);

#endif
