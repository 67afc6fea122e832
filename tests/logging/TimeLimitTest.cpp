// SPDX-License-Identifier: MIT
#include "Fakes.h"

namespace {

using TimeLimit = LoggingTest;

void tick(tolvar::LoggingControl& control, int times) {
    for (int i = 0; i < times; ++i)
        control.CountTimeoutTick();
}

TEST_F(TimeLimit, theNinetiethTickStopsLoggingEvenWhileDataArrives) {
    control.BeginLogging();
    for (int i = 0; i < 89; ++i) {
        deliver("reading\r");
        control.CountTimeoutTick();
    }
    EXPECT_EQ(control.Ticks(), 89);
    EXPECT_TRUE(window.logging());

    control.CountTimeoutTick();
    EXPECT_EQ(control.Ticks(), 90);
    EXPECT_TRUE(settle([&] { return window.idle(); }));
    EXPECT_FALSE(port.open);
    EXPECT_FALSE(control.IsLogging());
    EXPECT_TRUE(window.boxes.empty());
}

TEST_F(TimeLimit, everyBeginGetsTheFullNinetyTicks) {
    control.BeginLogging();
    tick(control, 90);
    ASSERT_TRUE(settle([&] { return window.idle(); }));

    control.BeginLogging();
    EXPECT_EQ(control.Ticks(), 0);
    tick(control, 30);
    stop();
    EXPECT_EQ(control.Ticks(), 30) << "a manual stop leaves the count";

    control.BeginLogging();
    tick(control, 89);
    EXPECT_TRUE(window.logging());
    tick(control, 1);
    EXPECT_TRUE(settle([&] { return window.idle(); }));
}

TEST_F(TimeLimit, theTaskbarFollowsTheRunAndOnlyAStopNobodyAskedForCallsForAttention) {
    control.BeginLogging();
    EXPECT_EQ(window.progress, 0);
    tick(control, 7);
    EXPECT_EQ(window.progress, 7);
    stop();
    EXPECT_EQ(window.progress, -1);
    EXPECT_EQ(window.attentions, 0) << "the operator's own stop";

    control.BeginLogging();
    tick(control, 89);
    EXPECT_EQ(window.progress, 89);
    tick(control, 1);
    EXPECT_EQ(window.progress, -1);
    EXPECT_EQ(window.attentions, 1) << "the time limit";

    settle([&] { return window.idle(); });
    control.BeginLogging();
    control.PortDisconnected();
    EXPECT_EQ(window.progress, -1);
    EXPECT_EQ(window.attentions, 2) << "an unplug";
}

} // namespace
