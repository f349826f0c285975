#include "harness.h"

// GoogleTest before Xlib: Xlib's macros (None, Bool, Status) break its headers.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_ttf.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace harness {

namespace {

// This process's own connection to the display, opened once.
Display *x()
{
    static Display *dpy = nullptr;
    if (!dpy && !display().empty()) {
        // A test reads windows that may vanish under it; an X error must fail a check, not end the test
        // process (Xlib's default handler exits).
        XSetErrorHandler([](Display *, XErrorEvent *) { return 0; });
        dpy = XOpenDisplay(display().c_str());
        EXPECT_NE(dpy, nullptr) << "cannot open the virtual display " << display();
    }
    return dpy;
}

// The display a server started by the fixture's script into dir answers on.
std::string display_in(const std::string &dir)
{
    std::string n = read_file(dir + "/display");
    n.erase(std::remove(n.begin(), n.end(), '\n'), n.end());
    return n.empty() ? "" : ":" + n;
}

// The process's mapped window, below the root or a window manager's frame.
Window find_window(pid_t pid, Window in = 0)
{
    Display *dpy = x();
    if (!dpy) {
        return 0;
    }
    const Atom wm_pid = XInternAtom(dpy, "_NET_WM_PID", False);
    Window root = 0, parent = 0, *kids = nullptr;
    unsigned n = 0;
    Window found = 0;
    if (!XQueryTree(dpy, in ? in : DefaultRootWindow(dpy), &root, &parent, &kids, &n)) {
        return 0;
    }
    for (unsigned i = 0; i < n && !found; ++i) {
        Atom type = 0;
        int format = 0;
        unsigned long items = 0, left = 0;
        unsigned char *data = nullptr;
        XWindowAttributes a{};
        if (XGetWindowProperty(dpy, kids[i], wm_pid, 0, 1, False, XA_CARDINAL, &type, &format, &items, &left,
                               &data) == Success &&
            data) {
            if (items == 1 && static_cast<pid_t>(*reinterpret_cast<unsigned long *>(data)) == pid &&
                XGetWindowAttributes(dpy, kids[i], &a) && a.map_state == IsViewable) {
                found = kids[i];
            }
            XFree(data);
        }
        found = found ? found : find_window(pid, kids[i]);
    }
    XFree(kids);
    return found;
}

} // namespace

// ---- Small helpers ----

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void nap(double seconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string q(const std::string &s)
{
    return "'" + s + "'";
}

std::string sh(const std::string &cmd, int *status)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r"); // NOLINT(cert-env33-c): the suite's own commands, paths quoted
    if (!p) {
        return out;
    }
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) {
        out.append(buf, n);
    }
    const int ws = pclose(p);
    if (status) {
        *status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
    }
    return out;
}

// ---- Display ----

std::string display()
{
    static std::string name;
    if (name.empty()) {
        name = display_in(XVFB_DIR);
        if (name.empty()) {
            ADD_FAILURE() << "no virtual display: the xvfb fixture did not start (see " XVFB_DIR "/xvfb.log)";
            return "";
        }
        setenv("DISPLAY", name.c_str(), 1);
    }
    return name;
}

std::string sound_server(const std::string &verb, const std::string &dir, const std::string &args)
{
    return sh("sh " TESTS_DIR "/sound-server.sh " + verb + " " + q(dir) + " " + args);
}

std::string private_display(const std::string &dir)
{
    int status = -1;
    sh("sh " XVFB_SCRIPT " start " + q(dir) + " >/dev/null", &status);
    return status == 0 ? display_in(dir) : "";
}

// ---- Pictures ----

bool lit(const rgb &p)
{
    return std::max({p.r, p.g, p.b}) > 32;
}

bool red(const rgb &p)
{
    return p.r > 160 && p.g < 64 && p.b < 64;
}

bool white(const rgb &p)
{
    return p.r > 192 && p.g > 192 && p.b > 192;
}

bool palette(const rgb &p)
{
    constexpr int tol = 8;
    return std::abs(p.g - p.b) <= tol && p.r + tol >= p.g;
}

box bounds(const image &im, bool (*keep)(const rgb &))
{
    box b{im.w, im.h};
    for (int y = 0; y < im.h; ++y) {
        for (int x = 0; x < im.w; ++x) {
            if (keep(im.at(x, y))) {
                b.left = std::min(b.left, x);
                b.right = std::max(b.right, x);
                b.top = std::min(b.top, y);
                b.bottom = std::max(b.bottom, y);
                ++b.count;
            }
        }
    }
    return b;
}

box greeting(double scale)
{
    static ALLEGRO_FONT *font = nullptr;
    if (!font) {
        // No atexit: the library's shutdown need not run when the test ends.
        al_install_system(ALLEGRO_VERSION_INT, nullptr);
        al_init_font_addon();
        al_init_ttf_addon();
        font = al_load_ttf_font(PROGRAM_DIR "/Verdana.ttf", -72, 0);
    }
    const int h = al_get_font_line_height(font);
    box b{1 << 20, 1 << 20, -(1 << 20), -(1 << 20), 1};
    const char *lines[] = {"Hello Dr.", "Brackwen!"};
    for (int i = 0; i < 2; ++i) {
        int bx, by, bw, bh;
        al_get_text_dimensions(font, lines[i], &bx, &by, &bw, &bh);
        const double x = 400.0 - al_get_text_width(font, lines[i]) / 2.0 + bx;
        const double y = 305.0 - h + i * (h + 10) + by;
        auto zx = [&](double v) { return static_cast<int>(std::lround(400.0 + scale * (v - 400.0))); };
        auto zy = [&](double v) { return static_cast<int>(std::lround(300.0 + scale * (v - 300.0))); };
        b.left = std::max(0, std::min(b.left, zx(x)));
        b.right = std::min(799, std::max(b.right, zx(x + bw) - 1 + 5));
        b.top = std::max(0, std::min(b.top, zy(y)));
        b.bottom = std::min(599, std::max(b.bottom, zy(y + bh) - 1 + 5));
    }
    return b;
}

std::string off(const box &seen, const box &a, const box &b)
{
    constexpr int tolerance = 3;
    auto between = [&](int v, int in, int out, int edge) {
        return out == edge || (v >= std::min(in, out) - tolerance && v <= std::max(in, out) + tolerance);
    };
    auto str = [](const box &x) {
        return x.empty() ? std::string("nothing")
                         : std::to_string(x.left) + "," + std::to_string(x.top) + " to " +
                               std::to_string(x.right) + "," + std::to_string(x.bottom);
    };
    return between(seen.left, a.left, b.left, 0) && between(seen.top, a.top, b.top, 0) &&
                   between(seen.right, a.right, b.right, 799) && between(seen.bottom, a.bottom, b.bottom, 599)
               ? ""
               : "lit " + str(seen) + ", expected between " + str(a) + " and " + str(b);
}

image grab(window_id w)
{
    image im;
    Display *dpy = x();
    XWindowAttributes a;
    if (!dpy || !w || !XGetWindowAttributes(dpy, w, &a)) {
        return im;
    }
    XSync(dpy, False);
    XImage *xi = XGetImage(dpy, w, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
    if (!xi) {
        return im;
    }
    im.w = a.width;
    im.h = a.height;
    im.px.resize(static_cast<size_t>(im.w) * im.h);
    for (int y = 0; y < im.h; ++y) {
        for (int x = 0; x < im.w; ++x) {
            const unsigned long v = XGetPixel(xi, x, y);
            im.px[static_cast<size_t>(y) * im.w + x] = {static_cast<uint8_t>((v & xi->red_mask) >> 16),
                                                        static_cast<uint8_t>((v & xi->green_mask) >> 8),
                                                        static_cast<uint8_t>(v & xi->blue_mask)};
        }
    }
    XDestroyImage(xi);
    return im;
}

std::vector<image> decode(const std::string &media)
{
    std::vector<image> frames;
    const std::string size = sh("ffprobe -v error -show_entries stream=width,height -of csv=p=0 " + q(media));
    char *end = nullptr;
    const int w = static_cast<int>(std::strtol(size.c_str(), &end, 10));
    const int h = *end == ',' ? static_cast<int>(std::strtol(end + 1, nullptr, 10)) : 0;
    const std::string all =
        sh("ffmpeg -v error -nostdin -i " + q(media) + " -fps_mode passthrough -f rawvideo -pix_fmt rgb24 -");
    const size_t bytes = static_cast<size_t>(w) * h * 3;
    for (size_t at = 0; bytes > 0 && at + bytes <= all.size(); at += bytes) {
        frames.push_back({w, h, std::vector<rgb>(static_cast<size_t>(w) * h)});
        std::memcpy(frames.back().px.data(), all.data() + at, bytes); // packed RGB, as the frames are
    }
    return frames;
}

void save_png(const image &im, const std::string &name)
{
    static_assert(sizeof(rgb) == 3, "an image is packed RGB");
    fs::create_directories(TEST_FRAMES_DIR);
    const std::string path = std::string(TEST_FRAMES_DIR) + "/" + name, raw = path + ".rgb";
    std::ofstream(raw, std::ios::binary)
        .write(reinterpret_cast<const char *>(im.px.data()), static_cast<std::streamsize>(im.px.size() * 3));
    int status = -1;
    const std::string size = std::to_string(im.w) + "x" + std::to_string(im.h);
    sh("ffmpeg -v error -nostdin -f rawvideo -pix_fmt rgb24 -s " + size + " -i " + q(raw) + " -y " +
           q(path + ".png"),
       &status);
    EXPECT_EQ(status, 0) << "cannot save " << path << ".png";
    fs::remove(raw);
}

// ---- Running the program ----

std::string scratch(const std::string &name, const std::string &from)
{
    const fs::path dir = fs::path(TEST_SCRATCH_DIR) / name;
    fs::remove_all(dir);
    fs::create_directories(dir / "app");
    fs::create_directories(dir / "home");
    fs::create_directories(dir / "tmp");
    std::error_code missing; // a build has one of the two programs
    for (const char *f : {"hello-pulse", "hello-pulse.exe", "Verdana.ttf", "Sensors7secs.wav"}) {
        fs::copy_file(fs::path(from) / f, dir / "app" / f, missing);
    }
    // OpenAL's "wave" backend: a real-time sink that records what is played.
    std::ofstream(dir / "alsoft.conf")
        << "[general]\ndrivers = wave\n[wave]\nfile = " << (dir / "sink.wav").string() << "\n";
    return dir.string();
}

std::vector<std::string> listing(const std::string &dir)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(dir, ec)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

// A test that ends the demo with a bare key press leaves that key down on the shared display: the next
// program would take it as pressed at start, and its own press of the key as a repeat. Each run starts with
// every key up.
void release_keys()
{
    Display *dpy = x();
    char keys[32] = {};
    if (!dpy) {
        return;
    }
    XQueryKeymap(dpy, keys);
    for (int code = 0; code < 256; ++code) {
        if (keys[code / 8] & (1 << (code % 8))) {
            XTestFakeKeyEvent(dpy, static_cast<unsigned>(code), False, CurrentTime);
        }
    }
    XSync(dpy, False);
}

} // namespace

demo start(const std::string &dir, const run_options &opt)
{
    demo d;
    d.dir = dir;
    release_keys();
    // Only what the test sets: nothing of the developer's session (its DISPLAY, its sound server, its
    // ~/.allegro5rc) may reach the program.
    std::vector<std::pair<std::string, std::string>> env = {
        {"PATH", "/usr/bin:/bin"},
        {"DISPLAY", display()},
        {"HOME", dir + "/home"},
        {"TMPDIR", dir + "/tmp"},
        {"XDG_RUNTIME_DIR", dir + "/tmp"},
        {"ALSOFT_CONF", dir + "/alsoft.conf"},
        // The library tries a sound server first: none, so the sink gets the sound.
        {"PULSE_SERVER", "unix:" + dir + "/no-sound-server"},
    };
    for (const char *pass : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char *v = getenv(pass)) {
            env.emplace_back(pass, v);
        }
    }
    for (const auto &kv : opt.env) {
        env.erase(std::remove_if(env.begin(), env.end(), [&](const auto &e) { return e.first == kv.first; }),
                  env.end());
        if (!kv.second.empty()) {
            env.push_back(kv);
        }
    }
#ifdef GL_DRIVER
    // Loaded from the start, the driver stays mapped until the leak report at exit, which can then name (and
    // tests/lsan.supp suppress) its leaks.
    auto pre = std::find_if(env.begin(), env.end(), [](const auto &e) { return e.first == "LD_PRELOAD"; });
    if (pre == env.end()) {
        env.emplace_back("LD_PRELOAD", GL_DRIVER);
    } else {
        pre->second = GL_DRIVER ":" + pre->second;
    }
#endif
    std::vector<std::string> flat;
    flat.reserve(env.size());
    for (const auto &kv : env) {
        flat.push_back(kv.first + "=" + kv.second);
    }
    auto pointers = [](std::vector<std::string> &v) { // as execve takes them
        std::vector<char *> p;
        p.reserve(v.size() + 1);
        for (auto &s : v) {
            p.push_back(s.data());
        }
        p.push_back(nullptr);
        return p;
    };
    std::string program = opt.program.empty() ? dir + "/app/hello-pulse" : opt.program;
    std::vector<std::string> args = opt.wrap;
    args.push_back(args.empty() ? "hello-pulse" : program);
    if (!opt.wrap.empty()) {
        program = opt.wrap.front();
    }
    std::vector<char *> envp = pointers(flat), argv = pointers(args);
    const std::string cwd = opt.elsewhere ? dir : dir + "/app";
    const bool closed = opt.out == "-";
    const std::string out = opt.out.empty() || closed ? dir + "/stdout.txt" : opt.out;
    const std::string err = dir + "/stderr.txt";
    fs::remove(dir + "/stdout.txt");

    d.asked = now();
    d.pid = fork();
    if (d.pid == 0) {
        // Close-on-exec: the program gets only what dup2 puts on 1 and 2.
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || (closed && close(1) != 0) ||
            chdir(cwd.c_str()) != 0) {
            _exit(127);
        }
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    return d;
}

bool alive(const demo &d)
{
    siginfo_t info{};
    return d.pid > 0 && waitid(P_PID, static_cast<id_t>(d.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

bool wait_window(demo &d, double seconds)
{
    for (const double end = now() + seconds; !d.win && now() < end && alive(d); nap(0.02)) {
        d.win = find_window(d.pid);
    }
    return d.win != 0;
}

bool wait_running(demo &d, double seconds)
{
    for (const double end = now() + seconds; wait_window(d, end - now()) && now() < end && alive(d);
         nap(0.02)) {
        if (bounds(grab(d.win), lit).count > 0) {
            return true;
        }
    }
    return false;
}

std::vector<double> logged(const std::string &log, const std::string &call, size_t n, double seconds)
{
    for (const double end = now() + seconds;; nap(0.01)) {
        std::vector<double> times;
        std::istringstream lines(read_file(log));
        for (std::string line; std::getline(lines, line);) {
            const size_t space = line.find(' ');
            if (space != std::string::npos && line.compare(0, space, call) == 0) {
                times.push_back(std::strtod(line.c_str() + space + 1, nullptr));
            }
        }
        if (times.size() >= n || now() >= end) {
            return times;
        }
    }
}

void key(demo &d, const char *keysym, bool press)
{
    Display *dpy = x();
    // No window manager gives the window focus; a real one would on a click.
    XSetInputFocus(dpy, d.win, RevertToParent, CurrentTime);
    d.asked = press ? now() : d.asked;
    XTestFakeKeyEvent(dpy, XKeysymToKeycode(dpy, XStringToKeysym(keysym)), press ? True : False, CurrentTime);
    XSync(dpy, False);
}

void tap(demo &d, const char *keysym)
{
    key(d, keysym, true);
    key(d, keysym, false);
}

void mouse(demo &d)
{
    Display *dpy = x();
    XWindowAttributes a;
    XGetWindowAttributes(dpy, d.win, &a);
    for (int i = 0; i < 5; ++i) {
        XTestFakeMotionEvent(dpy, -1, a.x + 100 + 120 * i, a.y + 80 + 90 * i, CurrentTime);
    }
    for (unsigned button : {1u, 2u, 3u, 4u, 5u}) {
        XTestFakeButtonEvent(dpy, button, True, CurrentTime);
        XTestFakeButtonEvent(dpy, button, False, CurrentTime);
    }
    XSync(dpy, False);
}

void close_request(demo &d)
{
    Display *dpy = x();
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = d.win;
    ev.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = static_cast<long>(XInternAtom(dpy, "WM_DELETE_WINDOW", False));
    ev.xclient.data.l[1] = CurrentTime;
    d.asked = now();
    XSendEvent(dpy, d.win, False, NoEventMask, &ev);
    XSync(dpy, False);
}

void expect_end(demo &d, bool runs, int status, const std::string &out, const std::string &what,
                double seconds)
{
    if (runs) {
        EXPECT_TRUE(wait_running(d)) << what << ": no frame on screen";
        tap(d, "Escape"); // harmless on a program that has no window
    }
    int ws = 0;
    pid_t got = 0;
    while ((got = waitpid(d.pid, &ws, WNOHANG)) == 0 && now() < d.asked + seconds) {
        nap(0.01);
    }
    const double took = now() - d.asked; // from before the ask to after the exit was seen
    if (got == 0) {
        kill(d.pid, SIGKILL);
        waitpid(d.pid, &ws, 0);
    }
    d.pid = -1;
    EXPECT_NE(got, 0) << what << ": still running " << took << " s after it was asked to end (limit "
                      << seconds << " s)";
    EXPECT_EQ(WIFSIGNALED(ws) ? WTERMSIG(ws) : 0, 0) << what << ": killed by a signal";
    EXPECT_EQ(WIFEXITED(ws) ? WEXITSTATUS(ws) : -1, status) << what << ", after " << took << " s";
    EXPECT_EQ(read_file(d.dir + "/stdout.txt"), out) << what;
}

namespace {

constexpr double window_seconds = 0.25; // the stretch of sound that is matched at a time

struct wave {
    unsigned rate = 0;
    std::vector<double> left, right; // a mono file has the same samples in both
};

// Decoded by ffmpeg, at the given rate if any (by soxr: band-limited). The sink fixes its header's sizes only
// when it is closed, so the data is taken to run to the end of the file.
wave read_wave(const std::string &path, unsigned rate = 0, const std::string &input = "")
{
    wave s;
    const std::string format =
        sh("ffprobe -v error -show_entries stream=sample_rate,channels -of csv=p=0 " + q(path));
    const std::string raw =
        sh("ffmpeg -v error -nostdin -ignore_length 1 " + input + " -i " + q(path) +
           (rate ? " -af aresample=resampler=soxr -ar " + std::to_string(rate) : "") + " -f f32le -");
    s.rate = rate ? rate : static_cast<unsigned>(std::strtoul(format.c_str(), nullptr, 10));
    const size_t channels = format.find(",2") != std::string::npos ? 2 : 1;
    for (size_t at = 0; at + 4 * channels <= raw.size(); at += 4 * channels) {
        float l = 0.0f, r = 0.0f;
        std::memcpy(&l, &raw[at], 4);
        std::memcpy(&r, &raw[at + 4 * (channels - 1)], 4);
        s.left.push_back(l);
        s.right.push_back(r);
    }
    return s;
}

} // namespace

playback heard(const std::string &path)
{
    constexpr double quiet = 1e-4;        // below this a sample is silence
    constexpr size_t probe = 1024;        // samples matched to find the clip's phase
    constexpr double misfit_limit = 0.05; // share of a window the clip may leave unexplained
    const wave rec = read_wave(path);
    // The clip as the sink heard it. A sink at another rate resamples it, and starts it between two of its
    // own samples: the clip is resampled too, at `steps` times the sink's rate, from three plays in a row of
    // which the middle one is kept (its ends run on into each other, as when it loops).
    static const unsigned clip_rate = read_wave(PROGRAM_DIR "/Sensors7secs.wav").rate;
    static wave clip;
    const size_t steps = rec.rate == clip_rate ? 1 : 16;
    if (clip.rate != rec.rate * steps && rec.rate) {
        clip = read_wave(PROGRAM_DIR "/Sensors7secs.wav", static_cast<unsigned>(rec.rate * steps),
                         "-stream_loop 2");
        const long third = static_cast<long>(clip.left.size() / 3);
        clip.left = std::vector<double>(clip.left.begin() + third, clip.left.begin() + 2 * third);
    }
    const size_t n = clip.left.size(), m = rec.left.size();
    playback p;
    p.seconds = rec.rate ? static_cast<double>(m) / rec.rate : 0.0;
    size_t first = 0;
    while (first < m && std::fabs(rec.left[first]) + std::fabs(rec.right[first]) < quiet) {
        ++first;
    }
    if (n < probe * steps || first + probe > m) {
        return p;
    }
    p.from = p.through = static_cast<double>(first) / rec.rate;

    // Where in the clip the first sound is, to a sample (the windows below place it between samples). The
    // clip opens with a silent sample, so a sink that heard it from its start has it at `steps`; one that
    // picked it up part way (a trimmed copy, a restarted server) is searched.
    std::vector<double> looped = clip.left;
    looped.insert(looped.end(), clip.left.begin(), clip.left.begin() + static_cast<long>(probe * steps));
    auto fit = [&](size_t phase, size_t from) {
        double rc = 0.0, cc = 0.0, rr = 0.0;
        for (size_t i = 0; i < probe; ++i) {
            const double c = looped[phase + i * steps], r = rec.left[from + i] + rec.right[from + i];
            rc += r * c;
            cc += c * c;
            rr += r * r;
        }
        return rc / std::sqrt(cc * rr + 1e-30);
    };
    auto find = [&](size_t from) {
        size_t phase = steps;
        double top = fit(phase, from);
        for (size_t at = 0; top < 0.99999 && at < n; at += steps) {
            const double f = fit(at, from);
            phase = f > top ? at : phase;
            top = std::max(f, top);
        }
        return phase;
    };
    size_t phase = find(first);

    // Window by window, the gain that best explains each channel by the clip, and what it leaves unexplained;
    // the first window that the clip does not explain (silence, another speed, another sound) ends the
    // stretch. A sink that resamples steps a little off the true ratio (OpenAL-soft: 5e-5), so the clip is
    // followed within a sample a window, a change far below hearing. A busy machine can starve the wave sink
    // for a moment (its writer, woken late, renders the backlog at once, faster than the library refills): up
    // to two windows of such a gap are passed over, the clip found again after.
    const size_t win = static_cast<size_t>(rec.rate * window_seconds);
    double lc = 0.0, rc = 0.0, cc = 0.0;
    int gaps = 2;
    for (size_t at = first; at + win <= m; at += win) {
        double misfit = 2.0, bl = 0.0, br = 0.0, bc = 0.0;
        size_t next = phase;
        for (size_t try_at = phase + n - steps; try_at <= phase + n + steps; ++try_at) {
            double wl = 0.0, wr = 0.0, wc = 0.0, ss = 0.0;
            for (size_t i = 0; i < win; ++i) {
                const double c = clip.left[(try_at + i * steps) % n];
                wl += rec.left[at + i] * c;
                wr += rec.right[at + i] * c;
                wc += c * c;
                ss += rec.left[at + i] * rec.left[at + i] + rec.right[at + i] * rec.right[at + i];
            }
            // The residual of the least-squares fit, from the sums alone.
            const double mf = ss > 0.0 ? std::sqrt(std::max(0.0, 1.0 - (wl * wl + wr * wr) / wc / ss)) : 1.0;
            if (mf < misfit) {
                misfit = mf, bl = wl, br = wr, bc = wc, next = (try_at + win * steps) % n;
            }
        }
        if (misfit > misfit_limit) {
            if (gaps-- == 0 || at + 2 * win > m) {
                break;
            }
            phase = find(at + win);
            continue;
        }
        phase = next, lc += bl, rc += br, cc += bc;
        p.through = static_cast<double>(at + win) / rec.rate;
    }
    p.left = cc > 0.0 ? lc / cc : 0.0;
    p.right = cc > 0.0 ? rc / cc : 0.0;
    return p;
}

void expect_clip(const std::string &wav, double seconds, const std::string &what)
{
    // At pan 0.0 the library gives each channel half of a mono clip: the square-root pan law's sqrt(1/2) at
    // the centre, times sqrt(1/2) for spreading one channel over two.
    constexpr double level = 0.75 * 0.5;
    constexpr double level_tolerance = 0.02, balance_tolerance = 0.01;
    const playback p = heard(wav);
    EXPECT_GE(p.through - p.from, seconds)
        << what << ": the clip is heard for " << p.through - p.from << " s from " << p.from << " s, of "
        << p.seconds << " s recorded (" << wav << ")";
    EXPECT_GE(p.through, p.seconds - 2 * window_seconds)
        << what << ": the sound stops or changes at " << p.through << " s, of " << p.seconds
        << " s recorded (" << wav << ")";
    EXPECT_NEAR(p.left, level, level * level_tolerance)
        << what << ": the clip plays at another level than gain 0.75, centred (" << wav << ")";
    EXPECT_NEAR(p.right, p.left, p.left * balance_tolerance)
        << what << ": the clip leans to one side (" << wav << ")";
}

} // namespace harness
