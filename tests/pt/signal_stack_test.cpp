// Alternate signal stacks: every thread of the library runs on one, a thread
// that has one already keeps it, and a thread's stack is gone after it.
#include <signal.h>

#include <gtest/gtest.h>

#include "pt/signal_stack.h"
#include "pt/thread.h"

namespace {

stack_t CurrentStack()
{
    stack_t current = {};
    sigaltstack(nullptr, &current);
    return current;
}

class StackProbe : public pt::thread {
public:
    StackProbe() : pt::thread(false) {}
    ~StackProbe() override { waitfor(); }
    stack_t seen = {};

protected:
    void execute() override { seen = CurrentStack(); }
};

TEST(SignalStack, EveryThreadOfTheLibraryHasOne)
{
    StackProbe probe;
    probe.start();
    probe.waitfor();
    EXPECT_FALSE(probe.seen.ss_flags & SS_DISABLE);
    EXPECT_GE(probe.seen.ss_size, size_t(MINSIGSTKSZ));
}

TEST(SignalStack, OneAlreadyThereIsKeptAndTheOwnIsTakenAway)
{
    const stack_t before = CurrentStack();
    {
        pt::signal_stack outer;
        const stack_t own = CurrentStack();
        EXPECT_FALSE(own.ss_flags & SS_DISABLE);
        {
            pt::signal_stack inner;
            EXPECT_EQ(own.ss_sp, CurrentStack().ss_sp);
        }
        EXPECT_EQ(own.ss_sp, CurrentStack().ss_sp);
    }
    EXPECT_EQ(before.ss_flags & SS_DISABLE, CurrentStack().ss_flags & SS_DISABLE);
    EXPECT_EQ(before.ss_sp, CurrentStack().ss_sp);
}

}  // namespace
