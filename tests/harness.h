// One harness for every test that needs the suite's virtual display: it runs the real program in a scratch
// directory with its own HOME, temp dir and recording sound sink, drives it with real X input, and reads back
// what the window shows and what the sink recorded.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace harness {

// ---- Small helpers ----

void nap(double seconds);
double now();                                   // monotonic seconds, the clock of the interposer's log
std::string read_file(const std::string &path); // all of it; empty when it cannot be read
std::string q(const std::string &s);            // quoted for the shell
// Runs a shell command and returns what it printed; *status gets its exit status.
std::string sh(const std::string &cmd, int *status = nullptr);

// ---- Display ----

// The X display of the suite's Xvfb (started by the ctest fixture), also put into this process's DISPLAY.
// Fails the calling test when there is none.
std::string display();

using window_id = unsigned long; // an X Window

// A private Xvfb, started by the suite's fixture script into dir, for a case that must not disturb the shared
// one (killing its server, say). Returns its display name, or "" if it did not start; its pid is in dir/pid.
std::string private_display(const std::string &dir);

// tests/sound-server.sh: what it printed (start prints the server's address).
std::string sound_server(const std::string &verb, const std::string &dir, const std::string &args = "");

// ---- Pictures ----

struct rgb {
    uint8_t r, g, b;
};

struct image {
    int w = 0, h = 0;
    std::vector<rgb> px;
    const rgb &at(int x, int y) const
    {
        return px[static_cast<size_t>(y) * w + x];
    }
};

struct box {
    int left = 0, top = 0, right = -1, bottom = -1; // inclusive; empty when right < left
    int count = 0;
    bool empty() const
    {
        return count == 0;
    }
};

// What a viewer tells apart, with the tolerance of the checks: a channel above 32 of 255 is lit; "red" and
// "white" are the two copies' solid cores.
bool lit(const rgb &p);
bool red(const rgb &p);
bool white(const rgb &p);
// Black, red, white and the blends of any of them: green equals blue, and red is at least either (within the
// tolerance that anti-aliasing needs).
bool palette(const rgb &p);

box bounds(const image &im, bool (*keep)(const rgb &));
// Where the greeting's ink lands at a scale, clipped to the window: the font's own ink boxes at the demo's
// size (72 px of total glyph height) for the two lines, laid out as the frame lays them out (the first line's
// top at 305 - h, the second h + 10 below it, each centred on x = 400), zoomed about the window centre, and
// the white copy 5 px right and down of the red one.
box greeting(double scale);
// "" when each edge of seen lies between that edge of a and of b, within 3 px (anti-aliased edges and the lit
// threshold), or the window cuts b there (the cut may fall between letters); else what was seen and expected.
std::string off(const box &seen, const box &a, const box &b);
image grab(window_id w); // the window's pixels as on screen, after an XSync
// Every frame of a picture or a video as ffmpeg decodes it, one per stored frame.
std::vector<image> decode(const std::string &media);
// Saves under the build tree's test-frames/ so a person can look at it.
void save_png(const image &im, const std::string &name);

// ---- Running the program ----

struct run_options {
    std::vector<std::pair<std::string, std::string>> env; // added or, with an empty value, removed
    bool elsewhere = true; // start from a directory other than the program's own
    std::string out{};     // stdout: empty for dir/stdout.txt, "-" for closed, or a path (/dev/full)
    std::vector<std::string> wrap{}; // a command to run the program under (valgrind), with its options
    std::string program{};           // what to start; empty: dir/app/hello-pulse
};

struct demo {
    pid_t pid = -1;
    std::string dir; // the scratch directory; the program and its data are in dir/app
    window_id win = 0;
    double asked = 0.0; // when the test last asked something of it: started it, sent a key or a close request
};

// A fresh scratch directory for one case: dir/app holds a copy of a build's program and its two data files,
// dir/home and dir/tmp are its HOME and TMPDIR, and dir/sink.wav is where the sound sink records.
std::string scratch(const std::string &name, const std::string &from = PROGRAM_DIR);
std::vector<std::string> listing(const std::string &dir); // sorted names in a directory

demo start(const std::string &dir, const run_options &opt = {});
// Waits until the demo has a window, and until it shows lit pixels: the loop is running.
bool wait_window(demo &d, double seconds = 10.0);
bool wait_running(demo &d, double seconds = 10.0);
// The times (harness::now) at which the interposer logged a call, waiting until there are at least n of them.
std::vector<double> logged(const std::string &log, const std::string &call, size_t n = 0,
                           double seconds = 10.0);
void key(demo &d, const char *keysym, bool press);
void tap(demo &d, const char *keysym);
void mouse(demo &d);         // moves, clicks and scrolls over the window
void close_request(demo &d); // the window manager's WM_DELETE_WINDOW message
bool alive(const demo &d);

// Checks how a run ended, by the deadline counted from d.asked (then it is killed): its status and all it
// printed. One that runs gets Escape first.
void expect_end(demo &d, bool runs, int status, const std::string &out, const std::string &what,
                double seconds = 10.0);

// ---- Sound ----

// A recording (the sink's, or any WAVE file) held against the demo's clip: from where it carries sound, how
// loud each channel plays the clip (1.0 is the clip's own level), and up to where the clip goes on explaining
// it.
struct playback {
    double seconds = 0.0; // recorded
    double from = 0.0, through = 0.0;
    double left = 0.0, right = 0.0;
};
playback heard(const std::string &path);
// Fails the test unless the clip is heard in wav for at least seconds, on to the end of the recording, at
// gain 0.75 and centred.
void expect_clip(const std::string &wav, double seconds, const std::string &what);

} // namespace harness
