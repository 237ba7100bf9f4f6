#include "process/ProgressProtocol.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

struct Bar {
    ProgressValues values;
    ProgressLinks links = ProgressLinks::To(values);

    Bar(int32_t displayed, int32_t target, int32_t direction)
    {
        values.displayed = displayed;
        values.target = target;
        values.direction = direction;
    }
    // Ticks until the display ends or `limit` ticks passed; returns the ticks.
    int RunUntilFinished(int limit)
    {
        for (int tick = 1; tick <= limit; ++tick) {
            if (StepProgress(links).finished)
                return tick;
        }
        return -1;
    }
};

}  // namespace

TEST(ProgressStep, MovesOneUnitPerTickTowardsTheTargetAndStays)
{
    Bar bar(1, 40, PROGRESS_FORWARD);
    for (int i = 0; i < 39; ++i)
        EXPECT_FALSE(StepProgress(bar.links).finished);
    EXPECT_EQ(bar.values.displayed, 40);
    const ProgressStep still = StepProgress(bar.links);
    EXPECT_FALSE(still.finished);
    EXPECT_EQ(still.position, 40);

    Bar back(60, 10, PROGRESS_BACKWARD);
    for (int i = 0; i < 50; ++i)
        StepProgress(back.links);
    EXPECT_EQ(back.values.displayed, 10);
    // Backward never climbs, forward never sinks.
    Bar stuck(10, 60, PROGRESS_BACKWARD);
    StepProgress(stuck.links);
    EXPECT_EQ(stuck.values.displayed, 10);
}

TEST(ProgressStep, EndsOnlyOnTheWorkersFinalWord)
{
    // The plan's last target is 100 while the worker still has its firewall
    // step and its commit ahead: the bar stays at its end, the display goes on.
    Bar reaching(99, 100, PROGRESS_FORWARD);
    EXPECT_EQ(reaching.RunUntilFinished(50), -1);
    EXPECT_EQ(StepProgress(reaching.links).position, 100);
    Bar written(40, 40, PROGRESS_FORWARD);
    SetDisplayedPosition(written.links, 120);
    EXPECT_EQ(written.RunUntilFinished(5), -1);

    for (int32_t final : {PROGRESS_COMPLETE, PROGRESS_FAILED}) {
        Bar bar(40, 40, PROGRESS_FORWARD);
        FinishProgress(bar.links, final);
        EXPECT_EQ(bar.RunUntilFinished(1), 1) << final;
        EXPECT_EQ(bar.values.displayed, final);
    }
    // Also mid-rollback, while the bar runs backward.
    Bar back(30, 0, PROGRESS_BACKWARD);
    FinishProgress(back.links, PROGRESS_COMPLETE);
    EXPECT_EQ(back.RunUntilFinished(3), 1);
}

TEST(ProgressJump, ForwardSetsBackwardOnlyBelowTheTarget)
{
    Bar forward(10, 30, PROGRESS_FORWARD);
    JumpProgress(forward.links, 87);
    EXPECT_EQ(forward.values.displayed, 87);

    Bar above(45, 40, PROGRESS_BACKWARD);
    JumpProgress(above.links, 40);
    EXPECT_EQ(above.values.displayed, 45);  // still running down to 40: no jump
    Bar below(30, 35, PROGRESS_BACKWARD);
    JumpProgress(below.links, 27);
    EXPECT_EQ(below.values.displayed, 27);
}

TEST(ProgressJump, SilentRunSharesTargetAndDisplayedPosition)
{
    ProgressValues values;
    ProgressLinks links{&values.target, &values.target, &values.direction, &values.finished};
    SetProgressTarget(links, 95);
    JumpProgress(links, 87);
    EXPECT_EQ(values.target, 87);
    SetDisplayedPosition(links, 100);
    EXPECT_EQ(values.target, 100);
}

// The worker's final word must survive a timer step running at the same
// moment: race a stepping thread against the final store many times.
TEST(ProgressRace, TheWorkersFinalWriteIsNeverLost)
{
    for (int32_t final : {100, 120}) {
        for (int round = 0; round < 200; ++round) {
            // Far targets keep the bar moving (storing) while the worker writes.
            const bool backward = round % 2;
            Bar bar(backward ? 50 : -1000000, backward ? -1000000 : 99,
                    backward ? PROGRESS_BACKWARD : PROGRESS_FORWARD);
            std::atomic<bool> written{false};
            std::atomic<bool> finished{false};
            std::atomic<bool> stepping{false};
            std::thread timer([&] {
                stepping = true;
                // Keeps stepping until it sees the end; a thousand ticks after
                // the write without the end means the write was lost.
                for (int afterWrite = 0; afterWrite < 1000;) {
                    if (StepProgress(bar.links).finished) {
                        finished = true;
                        return;
                    }
                    if (written)
                        ++afterWrite;
                }
            });
            while (!stepping) {
            }
            for (volatile int spin = 0; spin < round * 50; ++spin) {
            }
            FinishProgress(bar.links, final);
            written = true;
            timer.join();
            ASSERT_TRUE(finished) << "final " << final << " lost in round " << round;
            ASSERT_EQ(bar.values.displayed.load(), final);
        }
    }
}
