// The real program, run as a user runs it, on the suite's virtual display
// with a recording sound sink.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "harness.h"

namespace {

namespace fs = std::filesystem;
using harness::run_options;

void expect_clean_exit(const harness::result &r, const std::string &what)
{
    EXPECT_FALSE(r.timed_out) << what << ": still running at the deadline";
    EXPECT_EQ(r.signal, 0) << what << ": killed by a signal";
    EXPECT_TRUE(r.exited) << what;
    EXPECT_EQ(r.status, 0) << what;
    EXPECT_EQ(r.out, "") << what;
}

TEST(Demo, EndsOnEscapeOrTheCloseButtonAndNothingElse)
{
    for (const bool by_escape : {true, false}) {
        const std::string name = by_escape ? "escape" : "close";
        const std::string dir = harness::scratch("quit-" + name);
        const auto before = harness::listing(dir + "/app");
        harness::demo d = harness::start(dir);
        ASSERT_TRUE(harness::wait_running(d)) << name << ": no frame on screen";

        // Started from elsewhere, it runs in its own directory.
        std::error_code ec;
        EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(d.pid) + "/cwd", ec), fs::path(dir) / "app");

        // Other keys, a release of Escape alone, and the mouse change nothing.
        harness::key(d, "Escape", false);
        for (const char *k : {"space", "q", "Return", "x", "F4", "Left"}) {
            harness::tap(d, k);
        }
        harness::mouse(d);
        harness::nap(0.5);
        ASSERT_TRUE(harness::alive(d)) << name << ": ended on input that should be ignored";

        if (by_escape) {
            harness::tap(d, "Escape"); // released too: a key left down reaches the next run
        } else {
            harness::close_request(d);
        }
        const harness::result r = harness::finish(d);
        expect_clean_exit(r, name);
        EXPECT_EQ(harness::listing(dir + "/app"), before) << name << ": wrote next to the program";

        const harness::sound s = harness::recorded(dir);
        EXPECT_GT(s.seconds, 0.5) << name;
        EXPECT_GT(s.rms, 0.01) << name << ": the sink heard silence";
        EXPECT_LT(s.peak, 1.0) << name << ": clipped";
    }
}

TEST(Demo, StartupFailuresNameTheirStage)
{
    const std::string chain[] = {
        "al_install_system",   "al_install_audio",         "al_install_keyboard",  "al_install_mouse",
        "al_init_font_addon",  "al_init_ttf_addon",        "al_init_acodec_addon", "al_init_video_addon",
        "al_init_image_addon", "al_init_primitives_addon", "al_create_display",    "al_create_event_queue",
        "al_load_ttf_font",    "al_create_timer",          "al_load_sample",
    };
    struct row {
        const char *fail;
        int status;
        const char *out;
    };
    const row rows[] = {
        {"al_install_system", 1, "Allegro init failed.\n"},
        {"al_install_audio", 2, "Install failed.\n"},
        {"al_install_keyboard", 2, "Install failed.\n"},
        {"al_install_mouse", 2, "Install failed.\n"},
        {"al_init_font_addon", 5, "Addon init failed.\n"},
        {"al_init_ttf_addon", 5, "Addon init failed.\n"},
        {"al_init_acodec_addon", 5, "Addon init failed.\n"},
        {"al_init_video_addon", 5, "Addon init failed.\n"},
        {"al_init_image_addon", 5, "Addon init failed.\n"},
        {"al_init_primitives_addon", 5, "Addon init failed.\n"},
        // The five objects are all attempted before any is tested.
        {"al_create_display", 255, "Failed setup.\n"},
        {"al_create_event_queue", 255, "Failed setup.\n"},
        {"al_create_timer", 255, "Failed setup.\n"},
    };
    for (const row &r : rows) {
        const std::string dir = harness::scratch(std::string("fail-") + r.fail);
        const std::string log = dir + "/calls.log";
        const harness::result got = harness::run(
            dir,
            run_options{{{"LD_PRELOAD", SHIM_PATH}, {"HELLO_SHIM_FAIL", r.fail}, {"HELLO_SHIM_LOG", log}}});
        EXPECT_EQ(got.signal, 0) << r.fail;
        EXPECT_EQ(got.status, r.status) << r.fail;
        EXPECT_EQ(got.out, r.out) << r.fail;

        // The calls made are the chain up to the failed one, or for a missing
        // object the whole chain; nothing after it is attempted.
        std::string want;
        for (const std::string &c : chain) {
            want += c + "\n";
            if (c == r.fail && r.status != 255) {
                break;
            }
        }
        EXPECT_EQ(harness::read_file(log), want) << r.fail;
    }
}

TEST(Demo, GreetingPulsesOnScreen)
{
    const std::string dir = harness::scratch("pulse");
    harness::demo d = harness::start(dir);
    ASSERT_TRUE(harness::wait_running(d));
    int heights[3];
    for (int i = 0; i < 3; ++i) {
        harness::nap(0.4);
        const harness::image im = harness::grab(d.win);
        harness::save_png(im, "demo-" + std::to_string(i));
        const harness::box lit = harness::bounds(im, harness::lit);
        EXPECT_GT(harness::bounds(im, harness::red).count, 0) << "shot " << i;
        EXPECT_GT(harness::bounds(im, harness::white).count, 0) << "shot " << i;
        heights[i] = lit.height();
    }
    EXPECT_FALSE(heights[0] == heights[1] && heights[1] == heights[2]) << "the greeting does not pulse";
    harness::tap(d, "Escape"); // released too: a key left down reaches the next run
    expect_clean_exit(harness::finish(d), "pulse");
}

} // namespace
