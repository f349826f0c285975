// The pulse on its own: tick counts in, zoom factors out, no display needed.
#include <gtest/gtest.h>

#include "greeting/greeting.h"

namespace {

double scale_at(int64_t count)
{
    run_state rs{};
    rs.period = 4.0;
    update_pulse(rs, count);
    return rs.scale;
}

TEST(Pulse, FollowsItsCycleInTicksOfASixtieth)
{
    struct row {
        int64_t count;
        double period, time, scale;
    };
    // A quarter of a 4 s cycle per second: middle, largest, middle, floor, middle; other periods alike.
    for (const row r : {row{0, 4.0, 0.0, 1.5},
                        {60, 4.0, 1.0, 3.0},
                        {120, 4.0, 2.0, 1.5},
                        {180, 4.0, 3.0, 0.001},
                        {240, 4.0, 4.0, 1.5},
                        {30, 2.0, 0.5, 3.0},
                        {90, 2.0, 1.5, 0.001},
                        {120, 8.0, 2.0, 3.0}}) {
        run_state rs{};
        rs.period = r.period;
        update_pulse(rs, r.count);
        EXPECT_NEAR(rs.time, r.time, 1e-12) << "count " << r.count << ", period " << r.period;
        EXPECT_NEAR(rs.scale, r.scale, 1e-12) << "count " << r.count << ", period " << r.period;
    }
    // The library's first tick has count 1: the greeting starts just above 1.5.
    EXPECT_GT(scale_at(1), 1.5);
    EXPECT_LT(scale_at(1), 1.6);
}

TEST(Pulse, FloorsOnlyTheThreeTicksAroundTheLowPoint)
{
    for (int64_t c = 0; c < int64_t{240} * 8; ++c) {
        const double s = scale_at(c);
        const int64_t at = c % 240; // the two ticks beside the three floored ones are barely above it
        EXPECT_EQ(s == 0.001, at >= 179 && at <= 181) << "count " << c;
        EXPECT_TRUE(s <= 3.0 && s >= 0.001 && ((at != 178 && at != 182) || s < 0.003))
            << "count " << c << ": " << s;
    }
}

} // namespace
