// What a real machine and a careless user throw at the demo: damaged or odd
// data files, missing or failing devices, a closed or full stdout, and starting
// and quitting again and again. Each case runs a fresh copy of the program
// under a deadline: it must end as the design says, never by a signal or a hang.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

namespace fs = std::filesystem;
using harness::run_options;

constexpr char font[] = "Verdana.ttf";
constexpr char clip[] = "Sensors7secs.wav";
constexpr char failed[] = "Failed setup.\n";
constexpr double deadline = 10.0;       // s: a case still running by then has hung
constexpr double device_deadline = 5.0; // s: how long a lost device may take to end it
constexpr int wav_header_bytes = 44;    // RIFF, fmt and data chunk headers of a plain PCM file
constexpr int long_clip_seconds = 5 * 60;

// A valid mono 16-bit WAV of a quiet 440 Hz tone.
void write_clip(const fs::path &p, int seconds)
{
    constexpr uint32_t rate = 44100;
    const uint32_t bytes = rate * 2 * static_cast<uint32_t>(seconds);
    std::ofstream f(p, std::ios::binary);
    auto u32 = [&](uint32_t v) { f.write(reinterpret_cast<const char *>(&v), 4); };
    auto u16 = [&](uint16_t v) { f.write(reinterpret_cast<const char *>(&v), 2); };
    f.write("RIFF", 4);
    u32(36 + bytes);
    f.write("WAVEfmt ", 8);
    u32(16);
    u16(1); // PCM
    u16(1); // mono
    u32(rate);
    u32(rate * 2);
    u16(2);
    u16(16);
    f.write("data", 4);
    u32(bytes);
    std::vector<int16_t> cycle(100); // 441 Hz: a whole cycle every 100 samples
    for (size_t i = 0; i < cycle.size(); ++i) {
        cycle[i] =
            static_cast<int16_t>(4000.0 * std::sin(6.283185307179586 * static_cast<double>(i) / 100.0));
    }
    for (uint32_t n = 0; n < bytes / 200; ++n) {
        f.write(reinterpret_cast<const char *>(cycle.data()), 200);
    }
}

// The size of a file's headers alone: a font's offset table and table
// directory, a WAV's chunk headers.
uintmax_t header_bytes(const fs::path &p)
{
    if (p.extension() == ".wav") {
        return wav_header_bytes;
    }
    std::ifstream f(p, std::ios::binary);
    unsigned char b[6] = {};
    f.read(reinterpret_cast<char *>(b), sizeof b);
    return 12 + 16 * (b[4] << 8 | b[5]);
}

enum class damage {
    missing,
    empty,
    header,
    half,
    one_short,
    garbage,
    swapped,
    directory,
    dangling,
    loop,
    fifo,
    device,
    long_clip
};

void spoil(const fs::path &app, const std::string &file, damage how)
{
    const fs::path p = app / file;
    const fs::path other = app / (file == font ? clip : font);
    const uintmax_t size = fs::file_size(p);
    if (how != damage::empty && how != damage::header && how != damage::half && how != damage::one_short &&
        how != damage::swapped) {
        fs::remove(p);
    }
    switch (how) {
    case damage::missing:
        break;
    case damage::empty:
        fs::resize_file(p, 0);
        break;
    case damage::header:
        fs::resize_file(p, header_bytes(p));
        break;
    case damage::half:
        fs::resize_file(p, size / 2);
        break;
    case damage::one_short:
        fs::resize_file(p, size - 1);
        break;
    case damage::garbage:
        std::ofstream(p) << std::string(4096, '\x5a') << "not a font, not a sound";
        break;
    case damage::swapped:
        fs::copy_file(other, p, fs::copy_options::overwrite_existing);
        break;
    case damage::directory:
        fs::create_directory(p);
        break;
    case damage::dangling:
        fs::create_symlink("nowhere", p);
        break;
    case damage::loop:
        fs::create_symlink(file, p); // a link to itself
        break;
    case damage::fifo:
        mkfifo(p.c_str(), 0644);
        break;
    case damage::device:
        fs::create_symlink("/dev/zero", p);
        break;
    case damage::long_clip:
        write_clip(p, long_clip_seconds);
        break;
    }
}

// Checks how a case ended. A run that gets going is ended with Escape first.
void expect_end(harness::demo &d, bool runs, int status, const std::string &out, const std::string &what,
                double seconds = deadline)
{
    if (runs) {
        const bool up = harness::wait_running(d);
        EXPECT_TRUE(up) << what << ": no frame on screen";
        if (up) {
            harness::tap(d, "Escape");
        }
    }
    const harness::result r = harness::finish(d, seconds);
    EXPECT_FALSE(r.timed_out) << what << ": still running after " << seconds << " s";
    EXPECT_EQ(r.signal, 0) << what << ": killed by a signal";
    EXPECT_EQ(r.status, status) << what;
    EXPECT_EQ(r.out, out) << what;
}

TEST(Robust, BadDataFilesFailSetupOrRun)
{
    struct row {
        const char *file;
        damage how;
        const char *name;
        bool runs; // the file still loads, and the demo runs until Escape
    };
    const row rows[] = {
        {font, damage::missing, "missing", false},
        {font, damage::empty, "empty", false},
        {font, damage::header, "header only", false},
        {font, damage::half, "half", false},
        // The cut falls in the last table, the hinting program: it still draws.
        {font, damage::one_short, "one byte short", true},
        {font, damage::garbage, "garbage", false},
        {font, damage::swapped, "the sound's bytes", false},
        {font, damage::directory, "a directory", false},
        {font, damage::dangling, "a dangling symlink", false},
        {font, damage::loop, "a symlink loop", false},
        {font, damage::fifo, "a named pipe", false},
        {font, damage::device, "a device", false},
        {clip, damage::missing, "missing", false},
        {clip, damage::empty, "empty", false},
        // A cut data chunk loads: what is missing plays as silence.
        {clip, damage::header, "header only", true},
        {clip, damage::half, "half", true},
        {clip, damage::one_short, "one byte short", true},
        {clip, damage::garbage, "garbage", false},
        {clip, damage::swapped, "the font's bytes", false},
        {clip, damage::directory, "a directory", false},
        {clip, damage::dangling, "a dangling symlink", false},
        {clip, damage::loop, "a symlink loop", false},
        {clip, damage::fifo, "a named pipe", false},
        {clip, damage::device, "a device", false},
        {clip, damage::long_clip, "five minutes long", true},
    };
    int n = 0;
    for (const row &r : rows) {
        const std::string what = std::string(r.file) + " " + r.name;
        const std::string dir = harness::scratch("data-" + std::to_string(n++));
        spoil(fs::path(dir) / "app", r.file, r.how);
        const auto before = harness::listing(dir + "/app");
        harness::demo d = harness::start(dir);
        expect_end(d, r.runs, r.runs ? 0 : 255, r.runs ? "" : failed, what);
        EXPECT_EQ(harness::listing(dir + "/app"), before) << what << ": wrote next to the program";
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

    // The X server going away under a running demo: a private server, so the
    // suite's own display lives on.
    const std::string dir = harness::scratch("device-x-lost");
    const std::string display = harness::private_display(dir + "/xvfb");
    ASSERT_FALSE(display.empty());
    harness::demo d = harness::start(dir, run_options{{{"DISPLAY", display}}});
    // Sound flows once start-up is through: then the loop is running.
    for (int i = 0; i < 500 && harness::heard(dir + "/sink.wav").seconds < 0.5; ++i) {
        harness::nap(0.02);
    }
    EXPECT_TRUE(harness::alive(d));
    std::ifstream pid(dir + "/xvfb/pid");
    pid_t xvfb = 0;
    pid >> xvfb;
    ASSERT_GT(xvfb, 0);
    kill(xvfb, SIGKILL);
    // The program ends at once with Xlib's status, skipping the library's
    // shutdown, which cannot run without its server.
    expect_end(d, false, 1, "", "X server lost", device_deadline);
}

// ---- Long: run in CI, and by scripts/test --all ----

TEST(Long, StartAndQuitAgainAndAgain)
{
    constexpr int by_escape = 100, by_close = 20;
    const std::string dir = harness::scratch("cycles");
    int ok = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < by_escape + by_close; ++i) {
        const std::string what = "cycle " + std::to_string(i);
        harness::demo d = harness::start(dir);
        if (!harness::wait_running(d)) {
            ADD_FAILURE() << what << ": no frame on screen";
            harness::finish(d, 0.0);
            continue;
        }
        if (i < by_escape) {
            harness::tap(d, "Escape");
        } else {
            harness::close_request(d);
        }
        const harness::result r = harness::finish(d);
        EXPECT_FALSE(r.timed_out) << what;
        EXPECT_EQ(r.signal, 0) << what;
        EXPECT_EQ(r.status, 0) << what;
        ok += r.exited && r.status == 0 ? 1 : 0;
    }
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::cout << "[ CYCLES   ] " << ok << " of " << by_escape + by_close << " ended with status 0 in " << took
              << " s\n";
    EXPECT_EQ(ok, by_escape + by_close);
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
    harness::demo d = harness::start(
        dir, run_options{{},
                         true,
                         "",
                         {valgrind, "--error-exitcode=1", "--suppressions=" TESTS_DIR "/valgrind.supp",
                          "--log-file=" + dir + "/valgrind.log"}});
    // Everything is many times slower under valgrind, the first frame most.
    ASSERT_TRUE(harness::wait_running(d, 120.0)) << "no frame on screen";
    harness::nap(run_seconds);
    harness::tap(d, "Escape");
    const harness::result r = harness::finish(d, 60.0);
    std::ifstream log(dir + "/valgrind.log");
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << "valgrind found errors:\n" << text;
    EXPECT_NE(text.find("ERROR SUMMARY: 0 errors"), std::string::npos) << text;
}

} // namespace
