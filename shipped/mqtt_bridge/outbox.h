/*
 * The messages waiting for the broker, bounded: modules' threads put, the
 * bridge's thread takes them while the broker is there. Beyond the bound a
 * new message is dropped and counted, so a broker that is away costs
 * messages, never unbounded memory. A retained message (a state) replaces a
 * waiting one of the same topic, since only the latest state matters: states
 * never crowd out events however long the broker is away.
 *
 * Thread safety: every function takes the outbox's lock, which guards all of
 * its fields; an item taken belongs to the taker.
 */
#ifndef ORVANTIS_MQTT_OUTBOX_H
#define ORVANTIS_MQTT_OUTBOX_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

typedef struct OutboxItem {
    char* topic;
    char* payload;
    int length;
    int retain;
    struct OutboxItem* next;
} OutboxItem;

typedef struct OutboxCounts {
    uint64_t put;      /* messages accepted */
    uint64_t replaced; /* retained messages that replaced a waiting one */
    uint64_t dropped;  /* messages refused beyond the bound, or for lack of memory */
    uint64_t waiting;  /* waiting now */
    uint64_t most;     /* the most that ever waited */
} OutboxCounts;

typedef struct Outbox {
    pthread_mutex_t lock;
    pthread_cond_t arrived;
    OutboxItem* head;
    OutboxItem* tail;
    size_t bytes;
    size_t max_messages;
    size_t max_bytes;
    OutboxCounts counts;
} Outbox;

void outbox_init(Outbox* outbox, size_t max_messages, size_t max_bytes);
/* Frees what still waits. */
void outbox_destroy(Outbox* outbox);

/* Copies the message in; 0 when it was dropped. */
int outbox_put(Outbox* outbox, const char* topic, const char* payload, size_t length, int retain);

/* The oldest message, or null. */
OutboxItem* outbox_take(Outbox* outbox);
/* Puts a taken message back in front (the broker could not take it); it
 * counts again, past the bound if messages came meanwhile. */
void outbox_return(Outbox* outbox, OutboxItem* item);
void outbox_item_free(OutboxItem* item);

/* Waits until something is put, outbox_wake is called or `milliseconds`
 * pass (a put just before the call is not seen: the timeout bounds the
 * delay). */
void outbox_wait(Outbox* outbox, int milliseconds);
/* Wakes a waiter at once. */
void outbox_wake(Outbox* outbox);

OutboxCounts outbox_counts(Outbox* outbox);

#endif
