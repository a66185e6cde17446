#include "broker_link.h"

#include <mosquitto.h>
#include <stdatomic.h>
#include <string.h>
#include <time.h>

#include "../common/host_services.h"

static BrokerSettings settings;      /* set by start, then only read */
static BrokerMessageFn message_fn;
static Outbox* waker;
static struct mosquitto* client;
static atomic_int connected;
static atomic_int fresh;
static atomic_int inflight;          /* handed over, not yet acknowledged */
static atomic_int offline_mid;       /* the "offline" message's id while stopping; 0 otherwise */
static atomic_int offline_done;
static atomic_uint_least64_t connections, acknowledged;
static int last_refusal = -1;        /* libmosquitto's thread only: the refusal logged last */

static void on_connect(struct mosquitto* mosq, void* context, int code)
{
    (void)context;
    if (code != 0) {
        if (code != last_refusal)
            host_log(ORV_LOG_ERROR, "the broker %s:%d refused the connection: %s", settings.host, settings.port,
                     settings.protocol == 5 ? mosquitto_reason_string(code) : mosquitto_connack_string(code));
        last_refusal = code;
        return;
    }
    last_refusal = -1;
    atomic_fetch_add(&inflight, 1); /* acknowledged like any other */
    if (mosquitto_publish(mosq, NULL, settings.status_topic, 6, "online", 1, true) != MOSQ_ERR_SUCCESS)
        atomic_fetch_sub(&inflight, 1);
    mosquitto_subscribe(mosq, NULL, settings.command_filter, 1);
    atomic_fetch_add(&connections, 1);
    atomic_store(&connected, 1);
    atomic_store(&fresh, 1);
    host_log(ORV_LOG_NOTICE, "connected to the broker %s:%d", settings.host, settings.port);
    outbox_wake(waker);
}

static void on_disconnect(struct mosquitto* mosq, void* context, int code)
{
    (void)mosq;
    (void)context;
    if (atomic_exchange(&connected, 0) && code != 0)
        host_log(ORV_LOG_WARNING, "lost the broker %s:%d (%s), connecting again within %d s", settings.host,
                 settings.port, mosquitto_strerror(code), settings.reconnect_max_seconds);
}

static void on_publish(struct mosquitto* mosq, void* context, int mid)
{
    (void)mosq;
    (void)context;
    if (mid == atomic_load(&offline_mid)) {
        atomic_store(&offline_done, 1);
        return;
    }
    atomic_fetch_sub(&inflight, 1);
    atomic_fetch_add(&acknowledged, 1);
    outbox_wake(waker);
}

static void on_message(struct mosquitto* mosq, void* context, const struct mosquitto_message* message)
{
    (void)mosq;
    (void)context;
    if (message->retain) { /* kept by the broker from some earlier time: never acted on */
        host_log(ORV_LOG_WARNING, "a retained message on %s ignored: commands must not be retained", message->topic);
        return;
    }
    message_fn(message->topic, message->payload, message->payloadlen);
}

/* libmosquitto's answer to a setting: 1 when taken, else logged. */
static int taken(int code, const char* what)
{
    if (code == MOSQ_ERR_SUCCESS)
        return 1;
    host_log(ORV_LOG_ERROR, "%s: %s", what, code == MOSQ_ERR_ERRNO ? "a file cannot be read" : mosquitto_strerror(code));
    return 0;
}

static int configure(void)
{
    const char* id = settings.client_id[0] ? settings.client_id : NULL;
    client = mosquitto_new(id, settings.clean_session || !id, NULL);
    if (!client)
        return taken(MOSQ_ERR_NOMEM, "cannot make the MQTT client");
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION,
                         settings.protocol == 5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(client, on_connect);
    mosquitto_disconnect_callback_set(client, on_disconnect);
    mosquitto_publish_callback_set(client, on_publish);
    mosquitto_message_callback_set(client, on_message);
    mosquitto_reconnect_delay_set(client, (unsigned)settings.reconnect_min_seconds,
                                  (unsigned)settings.reconnect_max_seconds, true);
    if (!taken(mosquitto_will_set(client, settings.status_topic, 7, "offline", 1, true), "the last will"))
        return 0;
    if (settings.username[0] &&
        !taken(mosquitto_username_pw_set(client, settings.username, settings.password[0] ? settings.password : NULL),
               "the username"))
        return 0;
    if (settings.ca_file[0] &&
        !taken(mosquitto_tls_set(client, settings.ca_file, NULL, settings.cert_file[0] ? settings.cert_file : NULL,
                                 settings.key_file[0] ? settings.key_file : NULL, NULL),
               "TLS"))
        return 0;
    return 1;
}

int broker_link_start(const BrokerSettings* given, BrokerMessageFn on_message_fn, Outbox* wake)
{
    settings = *given;
    message_fn = on_message_fn;
    waker = wake;
    mosquitto_lib_init();
    if (!configure())
        return 0;
    /* A broker that is not there yet is no failure: the loop connects again. */
    int code = mosquitto_connect_async(client, settings.host, settings.port, settings.keepalive_seconds);
    if (code != MOSQ_ERR_SUCCESS && code != MOSQ_ERR_ERRNO)
        return taken(code, "cannot connect to the broker");
    return taken(mosquitto_loop_start(client), "cannot start the MQTT thread");
}

/* Up to a second for the broker to acknowledge "offline". */
static void say_offline(void)
{
    int mid = 0;
    if (!atomic_load(&connected))
        return;
    atomic_store(&offline_mid, -1);
    if (mosquitto_publish(client, &mid, settings.status_topic, 7, "offline", 1, true) != MOSQ_ERR_SUCCESS)
        return;
    atomic_store(&offline_mid, mid);
    struct timespec pause = {0, 10 * 1000 * 1000};
    for (int i = 0; i < 100 && !atomic_load(&offline_done) && atomic_load(&connected); ++i)
        nanosleep(&pause, NULL);
}

void broker_link_stop(void)
{
    if (!client)
        return;
    say_offline();
    /* Connected, the thread leaves its loop once the disconnect is sent.
     * Else it may be inside a connect, which blocks for as long as the
     * system lets a connection attempt last: it is cancelled. */
    const int cancel = !atomic_load(&connected);
    mosquitto_disconnect(client);
    mosquitto_loop_stop(client, cancel);
    mosquitto_destroy(client);
    client = NULL;
    mosquitto_lib_cleanup();
}

int broker_link_connected(void)
{
    return atomic_load(&connected);
}

int broker_link_fresh(void)
{
    return atomic_exchange(&fresh, 0);
}

int broker_link_publish(const OutboxItem* item)
{
    if (!atomic_load(&connected) || atomic_load(&inflight) >= settings.max_inflight)
        return 0;
    atomic_fetch_add(&inflight, 1);
    if (mosquitto_publish(client, NULL, item->topic, item->length, item->payload, 1, item->retain) ==
        MOSQ_ERR_SUCCESS)
        return 1;
    atomic_fetch_sub(&inflight, 1);
    return 0;
}

BrokerCounts broker_link_counts(void)
{
    BrokerCounts counts = {atomic_load(&connections), atomic_load(&acknowledged)};
    return counts;
}
