#include "outbox.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

static size_t item_bytes(const OutboxItem* item)
{
    return sizeof *item + strlen(item->topic) + (size_t)item->length;
}

void outbox_init(Outbox* outbox, size_t max_messages, size_t max_bytes)
{
    memset(outbox, 0, sizeof *outbox);
    pthread_mutex_init(&outbox->lock, NULL);
    pthread_condattr_t clock;
    pthread_condattr_init(&clock);
    pthread_condattr_setclock(&clock, CLOCK_MONOTONIC);
    pthread_cond_init(&outbox->arrived, &clock);
    pthread_condattr_destroy(&clock);
    outbox->max_messages = max_messages;
    outbox->max_bytes = max_bytes;
}

void outbox_destroy(Outbox* outbox)
{
    OutboxItem* item;
    while ((item = outbox_take(outbox)))
        outbox_item_free(item);
    pthread_cond_destroy(&outbox->arrived);
    pthread_mutex_destroy(&outbox->lock);
}

void outbox_item_free(OutboxItem* item)
{
    free(item);
}

/* One allocation: the record, then the topic and the payload. */
static OutboxItem* make_item(const char* topic, const char* payload, size_t length, int retain)
{
    const size_t topic_size = strlen(topic) + 1;
    OutboxItem* item = malloc(sizeof *item + topic_size + length + 1);
    if (!item)
        return NULL;
    item->topic = (char*)(item + 1);
    memcpy(item->topic, topic, topic_size);
    item->payload = item->topic + topic_size;
    memcpy(item->payload, payload, length);
    item->payload[length] = 0;
    item->length = (int)length;
    item->retain = retain;
    item->next = NULL;
    return item;
}

/* The waiting retained message of `topic`, with the one before it (null
 * for the head). Under lock. */
static OutboxItem* find_retained(Outbox* outbox, const char* topic, OutboxItem** before)
{
    *before = NULL;
    for (OutboxItem* item = outbox->head; item; *before = item, item = item->next)
        if (item->retain && strcmp(item->topic, topic) == 0)
            return item;
    return NULL;
}

int outbox_put(Outbox* outbox, const char* topic, const char* payload, size_t length, int retain)
{
    OutboxItem* item = make_item(topic, payload, length, retain);
    pthread_mutex_lock(&outbox->lock);
    OutboxItem *before, *old = retain && item ? find_retained(outbox, topic, &before) : NULL;
    const size_t freed = old ? item_bytes(old) : 0;
    const int fits = item && (old || outbox->counts.waiting < outbox->max_messages) &&
                     outbox->bytes - freed + item_bytes(item) <= outbox->max_bytes;
    if (!fits) {
        ++outbox->counts.dropped;
    } else if (old) { /* in the old one's place: states keep their order among events */
        item->next = old->next;
        *(before ? &before->next : &outbox->head) = item;
        if (outbox->tail == old)
            outbox->tail = item;
        outbox->bytes += item_bytes(item) - freed;
        ++outbox->counts.replaced;
    } else {
        *(outbox->tail ? &outbox->tail->next : &outbox->head) = item;
        outbox->tail = item;
        outbox->bytes += item_bytes(item);
        if (++outbox->counts.waiting > outbox->counts.most)
            outbox->counts.most = outbox->counts.waiting;
    }
    if (fits) {
        ++outbox->counts.put;
        pthread_cond_signal(&outbox->arrived);
    }
    pthread_mutex_unlock(&outbox->lock);
    free(fits ? old : item); /* the one that left the queue, or the one never in it */
    return fits;
}

OutboxItem* outbox_take(Outbox* outbox)
{
    pthread_mutex_lock(&outbox->lock);
    OutboxItem* item = outbox->head;
    if (item) {
        outbox->head = item->next;
        if (!outbox->head)
            outbox->tail = NULL;
        outbox->bytes -= item_bytes(item);
        --outbox->counts.waiting;
        item->next = NULL;
    }
    pthread_mutex_unlock(&outbox->lock);
    return item;
}

void outbox_return(Outbox* outbox, OutboxItem* item)
{
    pthread_mutex_lock(&outbox->lock);
    item->next = outbox->head;
    outbox->head = item;
    if (!outbox->tail)
        outbox->tail = item;
    outbox->bytes += item_bytes(item);
    ++outbox->counts.waiting;
    pthread_mutex_unlock(&outbox->lock);
}

void outbox_wait(Outbox* outbox, int milliseconds)
{
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_nsec += (long)(milliseconds % 1000) * 1000000L;
    until.tv_sec += milliseconds / 1000 + until.tv_nsec / 1000000000L;
    until.tv_nsec %= 1000000000L;
    pthread_mutex_lock(&outbox->lock);
    pthread_cond_timedwait(&outbox->arrived, &outbox->lock, &until);
    pthread_mutex_unlock(&outbox->lock);
}

void outbox_wake(Outbox* outbox)
{
    pthread_mutex_lock(&outbox->lock);
    pthread_cond_broadcast(&outbox->arrived);
    pthread_mutex_unlock(&outbox->lock);
}

OutboxCounts outbox_counts(Outbox* outbox)
{
    pthread_mutex_lock(&outbox->lock);
    OutboxCounts counts = outbox->counts;
    pthread_mutex_unlock(&outbox->lock);
    return counts;
}
