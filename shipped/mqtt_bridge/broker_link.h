/*
 * The bridge's connection to its broker, through libmosquitto: MQTT 3.1.1 or
 * 5, username and password, TLS, a retained last will of "offline" on the
 * status topic and a retained "online" as the first message of every
 * connection, the command topics subscribed. libmosquitto's own thread does
 * the network and connects again after a loss, waiting from
 * `reconnect_min_seconds` doubling up to `reconnect_max_seconds`.
 *
 * Messages are handed over only while connected and while fewer than
 * `max_inflight` wait for the broker's acknowledgement, so libmosquitto's
 * own queue stays bounded too; what was handed over and not acknowledged
 * when a connection broke is sent again by libmosquitto on the next.
 *
 * Thread safety: start and stop on one thread (Open, Close); the others from
 * the bridge's thread. The callbacks run on libmosquitto's thread; the state
 * they share with the bridge's thread is atomic.
 */
#ifndef ORVANTIS_MQTT_BROKER_LINK_H
#define ORVANTIS_MQTT_BROKER_LINK_H

#include <stdint.h>

#include "outbox.h"

typedef struct BrokerSettings {
    char host[256];
    int port;
    int protocol;            /* 3 (3.1.1) or 5 */
    char client_id[128];
    int keepalive_seconds;
    char username[128];      /* empty: none */
    char password[256];
    char ca_file[1024];      /* set: TLS, the broker's certificate checked against it */
    char cert_file[1024];    /* set: a client certificate, with key_file */
    char key_file[1024];
    int clean_session;
    int reconnect_min_seconds;
    int reconnect_max_seconds;
    int max_inflight;
    char status_topic[256];  /* "online" on connecting, "offline" as the will and on stopping */
    char command_filter[256];
} BrokerSettings;

/* A message on a subscribed topic, on libmosquitto's thread. */
typedef void (*BrokerMessageFn)(const char* topic, const void* payload, int length);

/* Starts connecting; 0 when libmosquitto refused the settings (logged).
 * `wake` is woken whenever room for more messages frees up. */
int broker_link_start(const BrokerSettings* settings, BrokerMessageFn on_message, Outbox* wake);

/* Publishes "offline" (waiting a second at most for the broker to have it),
 * disconnects and ends libmosquitto's thread: cancelled when not connected,
 * as it may be inside a connection attempt that would hold up the stop. */
void broker_link_stop(void);

int broker_link_connected(void);

/* 1 once after each connection: the caller publishes its states again (a
 * restarted broker may have lost the retained ones). */
int broker_link_fresh(void);

/* Hands `item` to libmosquitto at QoS 1; 0 when it cannot be now. */
int broker_link_publish(const OutboxItem* item);

typedef struct BrokerCounts {
    uint64_t connections;    /* connections accepted by the broker */
    uint64_t acknowledged;   /* messages the broker acknowledged */
} BrokerCounts;
BrokerCounts broker_link_counts(void);

#endif
