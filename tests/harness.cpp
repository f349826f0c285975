#include "harness.h"

// GoogleTest before Xlib: Xlib's macros (None, Bool, Status) break its headers.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <allegro5/allegro.h>
#include <allegro5/allegro_image.h>
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

Display *x();

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A test reads windows that may vanish under it; an X error must fail a check,
// not end the test process (Xlib's default handler exits).
int ignore_x_error(Display * /*dpy*/, XErrorEvent * /*err*/)
{
    return 0;
}

Window find_window(pid_t pid)
{
    Display *dpy = x();
    const Atom wm_pid = XInternAtom(dpy, "_NET_WM_PID", False);
    Window root = 0, parent = 0, *kids = nullptr;
    unsigned n = 0;
    Window found = 0;
    if (!XQueryTree(dpy, DefaultRootWindow(dpy), &root, &parent, &kids, &n)) {
        return 0;
    }
    for (unsigned i = 0; i < n && !found; ++i) {
        Atom type = 0;
        int format = 0;
        unsigned long items = 0, left = 0;
        unsigned char *data = nullptr;
        if (XGetWindowProperty(dpy, kids[i], wm_pid, 0, 1, False, XA_CARDINAL, &type, &format, &items, &left,
                               &data) == Success &&
            data) {
            if (items == 1 && static_cast<pid_t>(*reinterpret_cast<unsigned long *>(data)) == pid) {
                found = kids[i];
            }
            XFree(data);
        }
    }
    XFree(kids);
    return found;
}

} // namespace

// ---- Small helpers ----

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

// ---- Display ----

std::string display()
{
    static std::string name;
    if (name.empty()) {
        std::string n = read_file(XVFB_DIR "/display");
        n.erase(std::remove(n.begin(), n.end(), '\n'), n.end());
        if (n.empty()) {
            ADD_FAILURE() << "no virtual display: the xvfb fixture did not start (see " XVFB_DIR "/xvfb.log)";
            return "";
        }
        name = ":" + n;
        setenv("DISPLAY", name.c_str(), 1);
    }
    return name;
}

std::string private_display(const std::string &dir)
{
    const std::string cmd = std::string("sh " XVFB_SCRIPT " start '") + dir + "' >/dev/null";
    if (std::system(cmd.c_str()) != 0) { // NOLINT(cert-env33-c): the suite's own script, quoted path
        return "";
    }
    std::string n = read_file(dir + "/display");
    n.erase(std::remove(n.begin(), n.end(), '\n'), n.end());
    return ":" + n;
}

namespace {

// This process's own connection to the display, opened once.
Display *x()
{
    static Display *dpy = nullptr;
    if (!dpy && !display().empty()) {
        XSetErrorHandler(ignore_x_error);
        dpy = XOpenDisplay(display().c_str());
    }
    return dpy;
}

} // namespace

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
    box b;
    b.left = im.w;
    b.top = im.h;
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

void save_png(const image &im, const std::string &name)
{
    // The library's own PNG writer; installed without atexit so that this
    // process's exit does not depend on the library's shutdown.
    if (!al_is_system_installed()) {
        al_install_system(ALLEGRO_VERSION_INT, nullptr);
    }
    al_init_image_addon();
    fs::create_directories(TEST_FRAMES_DIR);
    const int flags = al_get_new_bitmap_flags();
    al_set_new_bitmap_flags(ALLEGRO_MEMORY_BITMAP);
    ALLEGRO_BITMAP *bmp = al_create_bitmap(im.w, im.h);
    al_set_new_bitmap_flags(flags);
    if (!bmp) {
        ADD_FAILURE() << "cannot make a bitmap to save " << name;
        return;
    }
    ALLEGRO_STATE state;
    al_store_state(&state, ALLEGRO_STATE_TARGET_BITMAP);
    al_set_target_bitmap(bmp);
    al_lock_bitmap(bmp, ALLEGRO_PIXEL_FORMAT_ANY, ALLEGRO_LOCK_WRITEONLY);
    for (int y = 0; y < im.h; ++y) {
        for (int x = 0; x < im.w; ++x) {
            const rgb &p = im.at(x, y);
            al_put_pixel(x, y, al_map_rgb(p.r, p.g, p.b));
        }
    }
    al_unlock_bitmap(bmp);
    al_restore_state(&state);
    const std::string path = std::string(TEST_FRAMES_DIR) + "/" + name + ".png";
    EXPECT_TRUE(al_save_bitmap(path.c_str(), bmp)) << path;
    al_destroy_bitmap(bmp);
}

// ---- Running the program ----

std::string scratch(const std::string &name)
{
    const fs::path dir = fs::path(TEST_SCRATCH_DIR) / name;
    fs::remove_all(dir);
    fs::create_directories(dir / "app");
    fs::create_directories(dir / "home");
    fs::create_directories(dir / "tmp");
    for (const char *f : {"hello-pulse", "Verdana.ttf", "Sensors7secs.wav"}) {
        fs::copy_file(fs::path(PROGRAM_DIR) / f, dir / "app" / f);
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

// A test that ends the demo with a bare key press leaves that key down on the
// shared display: the next program would take it as pressed at start, and
// its own press of the key as a repeat. Each run starts with every key up.
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
    // Only what the test sets: nothing of the developer's session (its
    // DISPLAY, its sound server, its ~/.allegro5rc) may reach the program.
    std::vector<std::pair<std::string, std::string>> env = {
        {"PATH", "/usr/bin:/bin"},         {"DISPLAY", display()},
        {"HOME", dir + "/home"},           {"TMPDIR", dir + "/tmp"},
        {"XDG_RUNTIME_DIR", dir + "/tmp"}, {"ALSOFT_CONF", dir + "/alsoft.conf"},
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
    // Loaded from the start, the driver stays mapped until the leak report at
    // exit, which can then name (and tests/lsan.supp suppress) its leaks.
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
    std::vector<char *> envp;
    envp.reserve(flat.size() + 1);
    for (auto &s : flat) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::string program = opt.program.empty() ? dir + "/app/hello-pulse" : opt.program;
    std::vector<std::string> args = opt.wrap;
    args.push_back(args.empty() ? "hello-pulse" : program);
    if (!opt.wrap.empty()) {
        program = opt.wrap.front();
    }
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (auto &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const std::string cwd = opt.elsewhere ? dir : dir + "/app";
    const bool closed = opt.out == "-";
    const std::string out = opt.out.empty() || closed ? dir + "/stdout.txt" : opt.out;
    const std::string err = dir + "/stderr.txt";
    fs::remove(dir + "/stdout.txt");

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

bool wait_running(demo &d, double seconds)
{
    for (const double end = now() + seconds; now() < end && alive(d); nap(0.02)) {
        if (!d.win) {
            d.win = find_window(d.pid);
        }
        if (d.win && bounds(grab(d.win), lit).count > 0) {
            return true;
        }
    }
    return false;
}

void key(demo &d, const char *keysym, bool press)
{
    Display *dpy = x();
    // No window manager gives the window focus; a real one would on a click.
    XSetInputFocus(dpy, d.win, RevertToParent, CurrentTime);
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
    XSendEvent(dpy, d.win, False, NoEventMask, &ev);
    XSync(dpy, False);
}

result finish(demo &d, double seconds)
{
    result r;
    int ws = 0;
    pid_t got = 0;
    for (const double end = now() + seconds; (got = waitpid(d.pid, &ws, WNOHANG)) == 0 && now() < end;) {
        nap(0.01);
    }
    if (got == 0) {
        r.timed_out = true;
        kill(d.pid, SIGKILL);
        waitpid(d.pid, &ws, 0);
    }
    d.pid = -1;
    r.exited = !r.timed_out && WIFEXITED(ws);
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
    r.signal = WIFSIGNALED(ws) ? WTERMSIG(ws) : 0;
    r.out = read_file(d.dir + "/stdout.txt");
    return r;
}

result run(const std::string &dir, const run_options &opt, double seconds)
{
    demo d = start(dir, opt);
    return finish(d, seconds);
}

sound recorded(const std::string &dir)
{
    return measure(dir + "/sink.wav");
}

sound measure(const std::string &wav)
{
    // The sink writes a RIFF header at start and fixes its sizes only when it
    // is closed, so the data chunk is taken to run to the end of the file.
    sound s;
    const std::string w = read_file(wav);
    auto u16 = [&](size_t at) {
        return static_cast<unsigned>(static_cast<uint8_t>(w[at]) | static_cast<uint8_t>(w[at + 1]) << 8);
    };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    if (w.size() < 12 || w.compare(0, 4, "RIFF") != 0) {
        return s;
    }
    unsigned tag = 0, channels = 0, rate = 0, bits = 0;
    for (size_t at = 12; at + 8 <= w.size();) {
        const std::string id = w.substr(at, 4);
        const size_t size = u32(at + 4);
        if (id == "fmt " && at + 8 + 16 <= w.size()) {
            tag = u16(at + 8);
            channels = u16(at + 10);
            rate = u32(at + 12);
            bits = u16(at + 22);
            if (tag == 0xFFFE && at + 8 + 26 <= w.size()) {
                tag = u16(at + 8 + 24); // WAVE_FORMAT_EXTENSIBLE: the sub-format's tag
            }
        } else if (id == "data" && channels && rate) {
            const size_t bytes = bits / 8, begin = at + 8;
            const size_t n = (w.size() - begin) / bytes;
            double sum = 0.0;
            for (size_t i = 0; i < n; ++i) {
                double v = 0.0;
                if (tag == 3 && bits == 32) {
                    float f;
                    std::memcpy(&f, &w[begin + i * 4], 4);
                    v = f;
                } else if (tag == 1 && bits == 16) {
                    v = static_cast<int16_t>(u16(begin + i * 2)) / 32768.0;
                }
                sum += v * v;
                s.peak = std::max(s.peak, std::fabs(v));
            }
            s.rms = n ? std::sqrt(sum / static_cast<double>(n)) : 0.0;
            s.seconds = static_cast<double>(n) / channels / rate;
            break;
        }
        at += 8 + size + (size & 1);
    }
    return s;
}

} // namespace harness
