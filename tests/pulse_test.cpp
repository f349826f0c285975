// The pulse on its own: tick counts in, zoom factors out, no display needed.
#include <gtest/gtest.h>

#include "greeting/greeting.h"

namespace {

double scale_at(int64_t count, double period = 4.0)
{
    run_state rs{};
    rs.period = period;
    update_pulse(rs, count);
    return rs.scale;
}

TEST(Pulse, FollowsTheFourSecondCycle)
{
    struct row {
        int64_t count;
        double time, scale;
    };
    // A quarter cycle per second: middle, largest, middle, floor, middle.
    for (const row r :
         {row{0, 0.0, 1.5}, {60, 1.0, 3.0}, {120, 2.0, 1.5}, {180, 3.0, 0.001}, {240, 4.0, 1.5}}) {
        run_state rs{};
        rs.period = 4.0;
        update_pulse(rs, r.count);
        EXPECT_NEAR(rs.time, r.time, 1e-12) << "count " << r.count;
        EXPECT_NEAR(rs.scale, r.scale, 1e-12) << "count " << r.count;
    }
    // The library's first tick has count 1: the greeting starts just above 1.5.
    EXPECT_GT(scale_at(1), 1.5);
    EXPECT_LT(scale_at(1), 1.6);
}

TEST(Pulse, FloorsOnlyTheThreeTicksAroundTheLowPoint)
{
    for (int64_t cycle : {0, 1, 7}) {
        const int64_t base = cycle * 240;
        for (int64_t c : {179, 180, 181}) {
            EXPECT_EQ(scale_at(base + c), 0.001) << "count " << base + c;
        }
        for (int64_t c : {178, 182}) {
            EXPECT_GT(scale_at(base + c), 0.001) << "count " << base + c;
            EXPECT_LT(scale_at(base + c), 0.003) << "count " << base + c;
        }
    }
    int floored = 0;
    for (int64_t c = 0; c < int64_t{240} * 5; ++c) {
        const double s = scale_at(c);
        EXPECT_LE(s, 3.0) << "count " << c;
        EXPECT_GE(s, 0.001) << "count " << c;
        floored += s == 0.001;
    }
    EXPECT_EQ(floored, 3 * 5);
}

TEST(Pulse, PeriodSetsTheCycleWhileTicksStayASixtieth)
{
    run_state rs{};
    rs.period = 2.0;
    update_pulse(rs, 30); // half a second is a quarter of a 2 s cycle
    EXPECT_NEAR(rs.time, 0.5, 1e-12);
    EXPECT_NEAR(rs.scale, 3.0, 1e-12);
    EXPECT_EQ(scale_at(90, 2.0), 0.001); // three quarters
    EXPECT_NEAR(scale_at(120, 2.0), 1.5, 1e-12);
    EXPECT_NEAR(scale_at(120, 8.0), 3.0, 1e-12); // 2 s into an 8 s cycle
}

} // namespace
