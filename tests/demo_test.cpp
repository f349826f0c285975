// The real program, run as a user runs it, on the suite's virtual display with a recording sound sink.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"

namespace {

namespace fs = std::filesystem;
using harness::run_options;

// The pulse as designed: 1.5 x (1 + sin(2 pi t / 4)), floored at 0.001, with t the tick count times 1/60 s.
double pulse(long count)
{
    return std::max(0.001, 1.5 * (1.0 + std::sin(2.0 * M_PI * static_cast<double>(count) / 60.0 / 4.0)));
}

// What a grab shows held against the greeting at the scale of some tick between lo and hi seconds after the
// timer started: "" when its lit box is where the greeting is at the least and the largest of those scales,
// else what was seen and expected. How far in a speck's dim edges fall is not checked.
std::string off_phase(const harness::box &seen, double lo, double hi)
{
    constexpr double speck = 0.1;
    double least = 3.0, most = 0.0;
    for (long count = std::lround(std::floor(std::max(0.0, lo) * 60.0));
         count <= std::lround(std::floor(hi * 60.0)); ++count) {
        least = std::min(least, pulse(count));
        most = std::max(most, pulse(count));
    }
    const std::string off =
        seen.empty() && least < speck
            ? ""
            : harness::off(seen, harness::greeting(most < speck ? 0.0 : least), harness::greeting(most));
    return off.empty() ? off
                       : "\n  at " + std::to_string(lo) + " to " + std::to_string(hi) + " s (scale " +
                             std::to_string(least) + " to " + std::to_string(most) + "): " + off;
}

// What a run's looks saw: each grab's moments before and after, its lit box, and counts of their colours.
struct looks {
    std::vector<double> from, to;
    std::vector<harness::box> seen;
    int off_colours = 0, both = 0;
};

void add(looks &l, const harness::image &im)
{
    l.seen.push_back(harness::bounds(im, harness::lit));
    l.off_colours += !std::all_of(im.px.begin(), im.px.end(), harness::palette);
    l.both += harness::bounds(im, harness::red).count > 0 && harness::bounds(im, harness::white).count > 0;
}

// The looks show the greeting red and white, in phase with one timer started between launched and lit (tried
// a step apart): each a tick from a loaded machine's lag on screen before its grab to its end.
void expect_in_phase(const looks &l, double launched, double lit, const std::string &name)
{
    constexpr double lag = 0.2, step = 1.0 / 120;
    double start = launched;
    std::string misses(l.seen.size() + 1, '\n'); // more than any start can leave: none tried yet
    for (int k = 0; launched + k * step <= lit && !misses.empty(); ++k) {
        const double t0 = launched + k * step;
        std::string m;
        for (size_t i = 0; i < l.seen.size(); ++i) {
            m += off_phase(l.seen[i], l.from[i] - t0 - step - lag, l.to[i] - t0);
        }
        if (std::count(m.begin(), m.end(), '\n') < std::count(misses.begin(), misses.end(), '\n')) {
            start = t0, misses = m;
        }
    }
    EXPECT_TRUE(misses.empty()) << name << ": no timer started between the launch and " << lit - launched
                                << " s later keeps the greeting in phase; the best, " << start - launched
                                << " s after the launch, leaves these looks out of phase:" << misses;
    EXPECT_EQ(l.off_colours, 0) << name << ": of " << l.seen.size() << " looks, " << l.off_colours
                                << " off the greeting's colours";
    EXPECT_GT(l.both, 0) << name << ": never red and white";
}

// The Windows build as Wine runs it, in the prefix scripts/windows made, its sound through the server at the
// address sound (a second buffered: room for a shared machine's delays).
run_options under_wine(const std::string &dir, const std::string &sound)
{
    run_options o{{{"WINEPREFIX", WINDOWS_DIR "/wine"}, {"WINEDEBUG", "-all"}, {"PULSE_SERVER", sound}}};
    o.env.emplace_back("PULSE_LATENCY_MSEC", "1000");
    o.wrap = {"/usr/bin/wine"};
    o.program = dir + "/app/hello-pulse.exe";
    return o;
}

// The demo started as a user starts it (or under Wine, its sound through the server of the directory wine, at
// the address sound), ended by Escape or the window manager's close request. Till then it ignores all other
// input, shows the greeting in red and white in phase with a timer started between its launch and
// first lit frame, and plays the clip; it ends with 0 by the deadline, and writes nothing beside itself.
void run_until_asked(bool by_escape, const std::string &wine = "", const std::string &sound = "")
{
    const std::string name = (wine.empty() ? "" : "wine-") + std::string(by_escape ? "escape" : "close");
    const std::string dir = harness::scratch("quit-" + name, wine.empty() ? PROGRAM_DIR : WINDOWS_DIR);
    const auto before = harness::listing(dir + "/app");
    harness::demo d = harness::start(dir, wine.empty() ? run_options{} : under_wine(dir, sound));
    ASSERT_TRUE(harness::wait_running(d, 20.0)) << name << ": no frame on screen";
    // Its timer started after the launch, and before a lit frame was seen (that takes a tick).
    const double launched = d.asked, lit = harness::now();

    // Started from elsewhere, it runs in its own directory.
    std::error_code ec;
    EXPECT_TRUE(!wine.empty() ||
                fs::read_symlink("/proc/" + std::to_string(d.pid) + "/cwd", ec) == fs::path(dir) / "app");

    // Other keys, a release of Escape alone, and the mouse change nothing.
    harness::key(d, "Escape", false);
    for (const char *k : {"space", "q", "Return", "x", "F4", "Left"}) {
        harness::tap(d, k);
    }
    harness::mouse(d);
    looks l;
    for (int i = 0; i < 20; ++i, harness::nap(0.1)) { // two seconds: half a pulse
        l.from.push_back(harness::now());
        const harness::image im = harness::grab(d.win);
        l.to.push_back(harness::now());
        add(l, im);
    }
    expect_in_phase(l, launched, lit, name);
    ASSERT_TRUE(harness::alive(d)) << name << ": ended on input that should be ignored";
    if (!wine.empty()) {
        harness::sound_server("record", wine, name + " 3");
    }

    // Escape's press ends it, before any release.
    by_escape ? harness::key(d, "Escape", true) : harness::close_request(d);
    harness::expect_end(d, false, 0, "", name, wine.empty() ? 10.0 : 1.0);
    EXPECT_EQ(harness::listing(dir + "/app"), before) << name << ": wrote next to the program";
    harness::expect_clip(wine.empty() ? dir + "/sink.wav" : wine + "/" + name + ".wav", 0.2, name);
}

TEST(Demo, EndsOnEscapeOrTheCloseButtonAndNothingElse)
{
    run_until_asked(true);
    run_until_asked(false);
}

// The Windows build under Wine, with a window manager (openbox, whose close request the harness sends as it
// would) on the suite's display. Without a sound device its install fails as on Linux; Windows ends the line
// with \r\n.
TEST(Windows, UnderWineAsOnLinux)
{
    if (!fs::exists(WINDOWS_DIR "/wine/system.reg")) {
        GTEST_SKIP() << "no Windows build (scripts/windows makes it)";
    }
    const std::string wine = harness::scratch("wine", WINDOWS_DIR);
    const std::string wm =
        harness::sh("DISPLAY=" + harness::display() + " openbox >/dev/null 2>&1 & echo $!");
    const std::shared_ptr<void> stop(nullptr, [&](void *) {
        harness::sound_server("stop", wine);
        harness::sh("WINEPREFIX=" WINDOWS_DIR "/wine wineserver -k; kill " + wm);
    });
    harness::demo none = harness::start(wine, under_wine(wine, "unix:" + wine + "/no-sound-server"));
    harness::expect_end(none, false, 2, "Install failed.\r\n", "no sound device", 30.0);
    const std::string sound = harness::sound_server("start", wine);
    run_until_asked(true, wine, sound);
    run_until_asked(false, wine, sound);
}

// The web build's zip in Debian's headless Chromium, driven by tests/web.js, as on Linux: in phase at 60 fps,
// other input ignored, the clip at its level, Escape ending it with 0 within 1 s, frames and sound stopped;
// held by the browser, silent with a hint until a key; without Web Audio, "Install failed.", 2.
TEST(Long, WebBuildInChromiumAsOnLinux)
{
    if (!fs::exists(WEB_DIR "/hello-pulse.wasm")) {
        GTEST_SKIP() << "no web build (scripts/web makes it)";
    }
    for (const std::string run : {"play", "held", "mute"}) {
        const std::string dir = harness::scratch("web-" + run), log = dir + "/log";
        int status = -1;
        // NOLINTBEGIN(performance-inefficient-string-concatenation): three runs
        const std::string said =
            harness::sh("cd " + dir +
                            " && unzip -q " WEB_DIR "/*-web.zip && NODE_PATH=" PROGRAM_DIR
                            "/web-driver/node_modules node " TESTS_DIR "/web.js hello-pulse-*-web . " +
                            run + " 2>&1",
                        &status);
        // NOLINTEND(performance-inefficient-string-concatenation)
        ASSERT_EQ(status, 0) << said;
        auto at = [&](const char *what, size_t i = 0) { return harness::logged(log, what).at(i); };
        EXPECT_EQ(at("status"), run == "mute" ? 2.0 : 0.0) << run;
        EXPECT_EQ(harness::read_file(dir + "/stdout.txt"), run == "mute" ? "Install failed.\n" : "") << run;
        if (run == "mute") {
            continue;
        }
        EXPECT_LE(at("ended") - at("asked"), 1.0) << run << ": seconds from Escape to the page's status";
        EXPECT_EQ(at("drawn") + harness::heard(dir + "/after.wav").through, 0.0)
            << run << ": frames or sound after the end";
        // Held, it is silent and hints at the key until one is pressed (hint 1: before input, 2: after).
        EXPECT_EQ(at("hint") + 2 * at("hint", 1) + (at("heard") > 0 ? 0 : 4), run == "held" ? 5.0 : 0.0)
            << run;
        harness::expect_clip(dir + "/sound.wav", run == "play" ? 4.0 : 1.5, run);
        const std::vector<double> frames = harness::logged(log, "frame");
        const auto from = std::lower_bound(frames.begin(), frames.end(), frames.front() + 1.0);
        EXPECT_NEAR(static_cast<double>(frames.end() - from - 1) / (frames.back() - *from), 60.0, 3.0)
            << run << ": frames a second, " << frames.end() - from << " in " << frames.back() - *from << " s";
        looks l{harness::logged(log, "from"), harness::logged(log, "to"), {}};
        for (size_t i = 0; i < l.from.size(); ++i) {
            add(l, harness::decode(dir + "/look-" + std::to_string(i) + ".png").at(0));
        }
        if (run == "play") {
            expect_in_phase(l, at("launched"), at("lit"), "web");
        }
    }
}

TEST(Demo, StartupFailuresNameTheirStage)
{
    // The chain, stage by stage, with each stage's status and line. The five objects are all attempted before
    // any is tested; the loaders fail by their files (robust_test), the other calls here, one at a time.
    struct stage {
        std::vector<std::string> calls;
        int status;
        const char *out;
    };
    const stage stages[] = {
        {{"al_install_system"}, 1, "Allegro init failed.\n"},
        {{"al_install_audio", "al_install_keyboard", "al_install_mouse"}, 2, "Install failed.\n"},
        {{"al_init_font_addon", "al_init_ttf_addon", "al_init_acodec_addon", "al_init_video_addon",
          "al_init_image_addon", "al_init_primitives_addon"},
         5,
         "Addon init failed.\n"},
        {{"al_create_display", "al_create_event_queue", "al_load_ttf_font", "al_create_timer",
          "al_load_sample"},
         255,
         "Failed setup.\n"},
    };
    std::string chain; // the calls up to the one failed here
    for (const stage &st : stages) {
        std::string through = chain; // and through its whole stage
        for (const std::string &c : st.calls) {
            through += c + "\n";
        }
        for (const std::string &fail : st.calls) {
            chain += fail + "\n";
            if (fail.compare(0, 7, "al_load") == 0) {
                continue;
            }
            const std::string dir = harness::scratch("fail-" + fail), log = dir + "/calls.log";
            harness::demo d = harness::start(
                dir,
                run_options{{{"LD_PRELOAD", SHIM_PATH}, {"HELLO_SHIM_FAIL", fail}, {"HELLO_SHIM_LOG", log}}});
            harness::expect_end(d, false, st.status, st.out, fail);
            // Nothing after the failed call is attempted; all five objects are.
            EXPECT_EQ(harness::read_file(log), st.status == 255 ? through : chain) << fail;
        }
    }
}

TEST(Demo, PulsesWithTheTimerAndLoopsTheClip)
{
    constexpr double stall = 1.0;   // s the first frame is held, as a slow frame would hold it
    constexpr double run_for = 9.5; // s: past the peaks at 1, 5 and 9 s and the clip's end at 7 s
    const std::string dir = harness::scratch("pulse"), log = dir + "/calls.log";
    harness::demo d = harness::start(dir, run_options{{{"LD_PRELOAD", SHIM_PATH},
                                                       {"HELLO_SHIM_LOG", log},
                                                       {"HELLO_SHIM_STALL", "1 " + std::to_string(stall)}}});
    ASSERT_TRUE(harness::wait_window(d)) << "no window";
    const std::vector<double> first = harness::logged(log, "al_flip_display", 1);
    const std::vector<double> timer = harness::logged(log, "al_start_timer");
    ASSERT_TRUE(!first.empty() && !timer.empty()) << "no frame shown";
    const double t0 = timer[0], stalled = first[0] + stall;

    // The first frame comes before any tick, at scale 0: black, and it stays on screen while the stall holds
    // the loop.
    harness::nap(0.2);
    harness::image im = harness::grab(d.win);
    harness::save_png(im, "demo-first");
    EXPECT_EQ(im.w, 800);
    EXPECT_EQ(im.h, 600);
    EXPECT_EQ(harness::bounds(im, harness::lit).count, 0) << "the first frame is not empty";
    EXPECT_LT(harness::now(), stalled) << "the first frame was looked at too late";

    // Sixty ticks queued behind the stall: the next frame is the latest tick's, the pulse's first peak, and
    // from then on every frame shows the phase of the timer's count, not of the frames drawn. The frame on
    // screen at a look is at least the last one logged before it, whose batch took every tick queued by the
    // time the frame before it had been flipped (the first one only after the stall).
    harness::nap(stalled + 0.05 - harness::now());
    int grabs = 0, wrong = 0;
    for (; harness::now() < t0 + run_for && harness::alive(d); ++grabs, harness::nap(0.02)) {
        const double at = harness::now();
        const std::vector<double> flips = harness::logged(log, "al_flip_display");
        const auto shown = std::upper_bound(flips.begin(), flips.end(), at) - flips.begin() - 1;
        im = harness::grab(d.win);
        const double lo = shown < 1 ? 0.0 : flips[shown - 1] + (shown == 1 ? stall : 0.0) - 1.0 / 60 - t0;
        const double hi = harness::now() - t0;
        const std::string off = shown < 1 ? "" : off_phase(harness::bounds(im, harness::lit), lo, hi);
        if (!off.empty() && wrong++ == 0) {
            harness::save_png(im, "demo-out-of-phase");
            ADD_FAILURE() << "the greeting is not the size the pulse gives it" << off
                          << "\n  (build/test-frames/demo-out-of-phase.png)";
        }
    }
    EXPECT_EQ(wrong, 0) << "of " << grabs << " looks at the window";
    harness::expect_end(d, true, 0, "", "pulse");

    // One frame per tick, and one for the whole batch queued by the stall.
    const std::vector<double> flips = harness::logged(log, "al_flip_display");
    const auto after = std::count_if(flips.begin(), flips.end(), [&](double t) { return t > stalled; });
    const double fps = static_cast<double>(after) / (flips.back() - stalled);
    const std::string counted =
        std::to_string(after) + " frames in " + std::to_string(flips.back() - stalled);
    EXPECT_LE(fps, 62.0) << counted << " s after the stall: more than one a tick";
    EXPECT_GE(fps, 55.0) << counted << " s after the stall: the timer ticks slower than 60 a second";

    harness::expect_clip(dir + "/sink.wav", run_for - 1.0, "a run past the clip's end");
}

} // namespace
