// The event queue alone: when it takes a message, what the stop's last pass
// takes, and what retiring it hands back.
#include <gtest/gtest.h>

#include <vector>

#include "base/service_stats.h"
#include "routing/event_queue.h"
#include "tests/support/messages.h"

using testmodule::MakeMessage;

namespace {

Message Event(uint64_t event)
{
    return MakeMessage(0x4321, 0x04, event);
}

std::vector<uint64_t> Events(const std::vector<Message>& messages)
{
    std::vector<uint64_t> events;
    for (const Message& message : messages)
        events.push_back(message.event);
    return events;
}

}  // namespace

TEST(EventQueue, TakesMessagesOnlyBetweenOpenAndRetire)
{
    ServiceStats stats;
    EventQueue queue(stats);
    EXPECT_FALSE(queue.running());
    EXPECT_EQ(EventQueue::Posted::Refused, queue.post(Event(1), nullptr, nullptr, false));
    queue.open();
    EXPECT_TRUE(queue.running());
    EXPECT_EQ(EventQueue::Posted::Yes, queue.post(Event(2), nullptr, nullptr, false));
    EXPECT_EQ(EventQueue::Posted::Yes, queue.post(Event(3), nullptr, nullptr, true));
    EXPECT_EQ((std::vector<uint64_t>{2, 3}), Events(queue.retire()));
    EXPECT_FALSE(queue.running());
    EXPECT_EQ(EventQueue::Posted::Refused, queue.post(Event(4), nullptr, nullptr, false));
    EXPECT_EQ(2u, stats.queued.load());  // only what it took is counted
}

TEST(EventQueue, LastPassTakesOnlyItsOwnRepliesUpToTheBound)
{
    ServiceStats stats;
    EventQueue queue(stats);
    queue.open();
    for (uint64_t event : {1, 2, 3})
        ASSERT_EQ(EventQueue::Posted::Yes, queue.post(Event(event), nullptr, nullptr, false));
    queue.closeForLastPass(2);  // three queued: three replies
    EXPECT_EQ(EventQueue::Posted::Refused, queue.post(Event(9), nullptr, nullptr, false));
    for (uint64_t event : {4, 5, 6})
        EXPECT_EQ(EventQueue::Posted::Yes, queue.post(Event(event), nullptr, nullptr, true));
    EXPECT_EQ(EventQueue::Posted::Refused, queue.post(Event(7), nullptr, nullptr, true));
    std::vector<Message> batch;
    queue.takeAll(batch);
    EXPECT_EQ((std::vector<uint64_t>{1, 2, 3, 4, 5, 6}), Events(batch));
    EXPECT_TRUE(queue.retire().empty());
}

TEST(EventQueue, APostAfterTheHandlerFoundItEmptyWakesIt)
{
    ServiceStats stats;
    EventQueue queue(stats);
    queue.open();
    EXPECT_TRUE(queue.mayWait());
    ASSERT_EQ(EventQueue::Posted::Yes, queue.post(Event(1), nullptr, nullptr, false));
    EXPECT_FALSE(queue.mayWait());
    queue.wait();  // returns: the post found the handler waiting and posted the trigger
    queue.retire();
}
