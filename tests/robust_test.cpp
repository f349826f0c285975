// What a real machine and a careless user throw at the demo: damaged or odd data files, missing or failing
// devices, a closed or full stdout, and starting and quitting again and again. Each case runs a fresh copy of
// the program under a deadline: it must end as the design says, never by a signal or a hang.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <string>

#include "harness.h"

namespace {

namespace fs = std::filesystem;
using harness::expect_end;
using harness::run_options;

constexpr char font[] = "Verdana.ttf";
constexpr char clip[] = "Sensors7secs.wav";
constexpr char failed[] = "Failed setup.\n";
constexpr double device_deadline = 5.0; // s: how long a lost device may take to end it
constexpr double exit_deadline = 1.0;   // s from Escape or the close button to the exit, whatever the sound
constexpr int wav_header_bytes = 44;    // RIFF, fmt and data chunk headers of a plain PCM file
constexpr int long_clip_seconds = 5 * 60;

// The size of a file's headers alone: a font's offset table and table directory, a WAV's chunk headers.
size_t header_bytes(const std::string &b)
{
    return b.compare(0, 4, "RIFF") == 0
               ? wav_header_bytes
               : 12 + 16 * (static_cast<uint8_t>(b[4]) << 8 | static_cast<uint8_t>(b[5]));
}

void put(const fs::path &p, const std::string &bytes)
{
    std::ofstream(p, std::ios::binary) << bytes;
}

// The ways a data file gets spoilt, each done to the font and to the clip in turn: what is put in place of
// the file p (its good bytes were b, the other file is o), and whether the demo still runs with the font or
// the clip so spoilt. The rest fail setup.
using path = const fs::path &;
using bytes = const std::string &;
struct damage {
    const char *name;
    void (*spoil)(path p, bytes b, path o);
    bool font_runs, clip_runs;
};
const damage damages[] = {
    {"missing", [](path, bytes, path) {}, false, false},
    {"empty", [](path p, bytes, path) { put(p, ""); }, false, false},
    // A cut data chunk loads: what is missing plays as silence.
    {"header only", [](path p, bytes b, path) { put(p, b.substr(0, header_bytes(b))); }, false, true},
    {"half", [](path p, bytes b, path) { put(p, b.substr(0, b.size() / 2)); }, false, true},
    // The font's cut falls in its last table, the hinting program: it still draws.
    {"one byte short", [](path p, bytes b, path) { put(p, b.substr(0, b.size() - 1)); }, true, true},
    {"garbage", [](path p, bytes, path) { put(p, std::string(4096, '\x5a') + "not a font, not a sound"); },
     false, false},
    {"the other's bytes", [](path p, bytes, path o) { fs::copy_file(o, p); }, false, false},
    {"a directory", [](path p, bytes, path) { fs::create_directory(p); }, false, false},
    {"a dangling symlink", [](path p, bytes, path) { fs::create_symlink("nowhere", p); }, false, false},
    {"a symlink loop", [](path p, bytes, path) { fs::create_symlink(p.filename(), p); }, false, false},
    {"a named pipe", [](path p, bytes, path) { mkfifo(p.c_str(), 0644); }, false, false},
    {"a device", [](path p, bytes, path) { fs::create_symlink("/dev/zero", p); }, false, false},
    // A valid mono 16-bit WAV of a quiet tone.
    {"five minutes of sound",
     [](path p, bytes, path) {
         harness::sh("ffmpeg -v error -nostdin -f lavfi -i sine=frequency=441:duration=" +
                     std::to_string(long_clip_seconds) + " -ac 1 -c:a pcm_s16le -f wav " +
                     harness::q(p.string()));
     },
     false, true},
};

TEST(Robust, BadDataFilesFailSetupOrRun)
{
    int n = 0;
    for (const damage &d : damages) {
        for (const char *file : {font, clip}) {
            const std::string what = std::string(file) + " " + d.name;
            const std::string dir = harness::scratch("data-" + std::to_string(n++));
            const fs::path app = fs::path(dir) / "app";
            const std::string good = harness::read_file((app / file).string());
            fs::remove(app / file);
            d.spoil(app / file, good, app / (file == font ? clip : font));
            const auto before = harness::listing(app);
            const bool runs = file == font ? d.font_runs : d.clip_runs;
            harness::demo demo = harness::start(dir);
            expect_end(demo, runs, runs ? 0 : 255, runs ? "" : failed, what);
            EXPECT_EQ(harness::listing(app), before) << what << ": wrote next to the program";
        }
    }
}

// A display name that no server answers on.
std::string dead_display()
{
    int n = 100;
    while (fs::exists("/tmp/.X11-unix/X" + std::to_string(n))) {
        ++n;
    }
    return ":" + std::to_string(n);
}

TEST(Robust, MissingOrFailingDevicesEndItPromptly)
{
    struct row {
        const char *name;
        run_options opt;
        bool no_font; // a start-up failure that prints its line
        bool runs;
        int status;
        const char *out;
    };
    constexpr char install[] = "Install failed.\n";
    const row rows[] = {
        {"no display", {{{"DISPLAY", ""}}}, false, false, 2, install},
        {"a display with no server", {{{"DISPLAY", dead_display()}}}, false, false, 2, install},
        {"no sound device", {{{"ALSOFT_DRIVERS", "no-such-driver"}}}, false, false, 2, install},
        {"stdout closed", {{}, true, "-"}, false, true, 0, ""},
        {"stdout full", {{}, true, "/dev/full"}, false, true, 0, ""},
        {"stdout closed, no font", {{}, true, "-"}, true, false, 255, ""},
        {"stdout full, no font", {{}, true, "/dev/full"}, true, false, 255, ""},
    };
    int n = 0;
    for (const row &r : rows) {
        const std::string dir = harness::scratch("device-" + std::to_string(n++));
        if (r.no_font) {
            fs::remove(fs::path(dir) / "app" / font);
        }
        harness::demo d = harness::start(dir, r.opt);
        expect_end(d, r.runs, r.status, r.out, r.name, device_deadline);
    }

    // The X server going away under a running demo: a private server, so the suite's own display lives on.
    const std::string dir = harness::scratch("device-x-lost");
    const std::string display = harness::private_display(dir + "/xvfb");
    ASSERT_FALSE(display.empty());
    harness::demo d = harness::start(dir, run_options{{{"DISPLAY", display}}});
    // Sound flows once start-up is through: then the loop is running.
    for (int i = 0; i < 500 && harness::heard(dir + "/sink.wav").seconds < 0.5; ++i) {
        harness::nap(0.02);
    }
    EXPECT_TRUE(harness::alive(d));
    const auto xvfb =
        static_cast<pid_t>(std::strtol(harness::read_file(dir + "/xvfb/pid").c_str(), nullptr, 10));
    ASSERT_GT(xvfb, 0);
    d.asked = harness::now();
    kill(xvfb, SIGKILL);
    // The program ends at once with Xlib's status, skipping the library's shutdown, which cannot run without
    // its server.
    expect_end(d, false, 1, "", "X server lost", device_deadline);
}

// ---- A desktop's sound server ----

using harness::sound_server;
// The demo through the library's own driver choice, on a desktop's server: it plays; the server is killed and
// a new one starts hung (stopped before it answers): for 10 s the greeting pulses at 60 frames a second, at
// no more CPU than while it played; continued, within 5 s the clip plays through it again; stopped under it,
// the same for 10 s, then Escape gives 0 within 1 s; a second run, with a new server hung, ends as fast on
// the close button.
void lose_sound_server(const std::string &kind)
{
    const std::string dir = harness::scratch("sound-" + kind), log = dir + "/calls.log";
    const std::shared_ptr<void> stop(nullptr, [&](void *) { sound_server("stop", dir); });
    const std::string socket = sound_server("start", dir, kind);
    ASSERT_FALSE(socket.empty()) << "no " << kind << " server";
    // A second of sound buffered, not the library's 23 ms: room for a shared machine's delays.
    run_options opt{{{"ALSOFT_CONF", ""}, {"PULSE_SERVER", socket}, {"PULSE_LATENCY_MSEC", "1000"}}};
    opt.env.insert(opt.env.end(), {{"LD_PRELOAD", SHIM_PATH}, {"HELLO_SHIM_LOG", log}});
    harness::demo d = harness::start(dir, opt);
    ASSERT_TRUE(harness::wait_running(d)) << kind << ": no frame on screen";
    auto cpu_while = [&](const auto &what) { // percent of a core, all the demo's threads
        const std::string stat = "awk '{print $14 + $15}' /proc/" + std::to_string(d.pid) + "/stat";
        const double t = harness::now(), c = std::stod(harness::sh(stat));
        what();
        return (std::stod(harness::sh(stat)) - c) / static_cast<double>(sysconf(_SC_CLK_TCK)) /
               (harness::now() - t) * 100.0;
    };
    const double before = cpu_while([&] { sound_server("record", dir, "before 4"); });
    harness::expect_clip(dir + "/before.wav", 2.0, kind + ", playing");
    auto hung_for = [&](double seconds, const std::string &what) {
        std::set<int> heights;
        const double from = harness::now();
        const double cpu = cpu_while([&] {
            for (; harness::now() < from + seconds; harness::nap(1.0)) { // few grabs: each holds the display
                const harness::box b = harness::bounds(harness::grab(d.win), harness::lit);
                heights.insert(b.bottom - b.top);
            }
        });
        const std::vector<double> flips = harness::logged(log, "al_flip_display");
        const double fps =
            static_cast<double>(flips.end() - std::lower_bound(flips.begin(), flips.end(), from)) /
            (harness::now() - from);
        std::cout << "[ HUNG     ] " << kind << ", " << what << ": " << fps << " fps, " << cpu << " % CPU\n";
        EXPECT_NEAR(fps, 60.0, 3.0) << kind << ", " << what << ": frames a second";
        EXPECT_GT(heights.size(), 1u) << kind << ", " << what << ": the greeting stopped pulsing";
        EXPECT_LE(cpu, before + 5.0) << kind << ", " << what << ": % of a core";
    };
    auto hang_a_new_server = [&] {
        sound_server("stop", dir);
        ASSERT_EQ(sound_server("start", dir, kind + " hung"), socket) << "no new " << kind << " server";
        harness::nap(2.5); // the voice of the old one dropped, a new one waiting on the hung one
    };

    hang_a_new_server();
    hung_for(10.0, "a new server hung");
    // The sink's monitor records only while something plays: what is missing of the recording, and any
    // silence at its start, is the wait for sound.
    sound_server("wake", dir);
    const double after = cpu_while([&] { sound_server("record", dir, "after 7"); });
    const harness::playback back = harness::heard(dir + "/after.wav");
    const std::string what = kind + ", with the server answering: sound never comes back";
    EXPECT_LE(7.0 - back.seconds + back.from, 5.0) << what;
    harness::expect_clip(dir + "/after.wav", 2.0, what);
    EXPECT_LE(after, 1.5 * before + 5.0) << kind << ": " << after << " % of a core with a new server";
    sound_server("hang", dir);
    hung_for(10.0, "the running server hung");
    expect_end(d, true, 0, "", kind + ", Escape, the server hung", exit_deadline);

    ASSERT_EQ(sound_server("start", dir, kind), socket) << "no new " << kind << " server";
    harness::demo second = harness::start(dir, opt);
    ASSERT_TRUE(harness::wait_running(second)) << kind << ": no frame on screen";
    hang_a_new_server();
    harness::close_request(second);
    expect_end(second, false, 0, "", kind + ", close, a new server hung", exit_deadline);
}

TEST(Robust, DesktopSoundServerGoesAwayAndComesBack)
{
    lose_sound_server("pulseaudio");
}

// ---- Long: run in CI, and by scripts/test --all ----

TEST(Long, PipeWireGoesAwayAndComesBack)
{
    if (!fs::exists("/usr/bin/pipewire-pulse")) {
        GTEST_SKIP() << "no PipeWire: scripts/test --all installs it";
    }
    lose_sound_server("pipewire");
}

TEST(Long, StartAndQuitAgainAndAgain)
{
    constexpr int by_escape = 100, by_close = 20;
    const std::string dir = harness::scratch("cycles");
    const double t0 = harness::now();
    for (int i = 0; i < by_escape + by_close; ++i) {
        harness::demo d = harness::start(dir);
        if (i >= by_escape && harness::wait_running(d)) {
            harness::close_request(d);
        }
        expect_end(d, i < by_escape, 0, "", "cycle " + std::to_string(i));
    }
    std::cout << "[ CYCLES   ] " << by_escape + by_close << " in " << harness::now() - t0 << " s\n";
}

TEST(Long, CleanUnderValgrind)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "valgrind cannot run a program built with AddressSanitizer";
#endif
    constexpr char valgrind[] = "/usr/bin/valgrind";
    if (!fs::exists(valgrind)) {
        GTEST_SKIP() << "no valgrind: scripts/test --all installs it";
    }
    constexpr double run_seconds = 3.0;
    const std::string dir = harness::scratch("valgrind");
    run_options opt;
    opt.wrap = {valgrind, "--error-exitcode=1", "--suppressions=" TESTS_DIR "/valgrind.supp",
                "--log-file=" + dir + "/valgrind.log"};
    harness::demo d = harness::start(dir, opt);
    // Everything is many times slower under valgrind, the first frame most.
    ASSERT_TRUE(harness::wait_running(d, 120.0)) << "no frame on screen";
    harness::nap(run_seconds);
    expect_end(d, true, 0, "", "under valgrind (its errors below)", 60.0);
    const std::string text = harness::read_file(dir + "/valgrind.log");
    EXPECT_NE(text.find("ERROR SUMMARY: 0 errors"), std::string::npos) << text;
}

} // namespace
