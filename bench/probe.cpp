// LD_PRELOAD probe for bench/run. It passes every call below on to the real
// library and notes, on the monotonic clock, what the program does: the entry
// and exit of each start-up call, every timer event that al_wait_for_event
// hands over, every al_flip_display, the time spent blocked waiting, and the
// process's CPU over the run. Nothing is written until the process exits (a
// destructor, so after the library's own atexit shutdown): the file named by
// BENCH_PROBE_OUT then gets one line per record, read by bench/crunch.py.
//
// It links no Allegro library and no C++ runtime (the calls go through
// dlsym), so it adds no library to the floor program that it would not load
// on its own.

#include <allegro5/allegro.h>
#include <allegro5/allegro_audio.h>
#include <allegro5/allegro_font.h>
#include <dirent.h>
#include <dlfcn.h>
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t max_calls = 64;
constexpr size_t max_frames = 1 << 17; // over half an hour at 60 a second
constexpr size_t max_ticks = 1 << 17;
constexpr size_t max_threads = 64;
constexpr size_t name_len = 16; // a thread's comm, as the kernel keeps it

struct call {
    const char *name;
    int64_t in, out;
};

struct frame {
    int64_t in, out; // around al_flip_display
    int64_t count;   // the latest tick count taken before it, -1 before the first
    int ticks;       // timer events taken since the frame before
    int64_t text_ns; // spent in al_draw_multiline_textf for this frame
};

struct tick {
    int64_t at, count;
};

// Who started a thread: the library its start routine lives in. Most of the
// library's threads and OpenAL's carry the program's name, so this tells
// the timer, the X events and the sound mixing apart.
struct thread_origin {
    long tid;
    char lib[name_len];
};

struct thread_cpu {
    long tid;
    char name[name_len];
    int64_t run_ns;
};

// CPU as seen at one moment: the process, its main thread, each thread.
struct cpu_snapshot {
    int64_t process_ns, main_ns;
    thread_cpu threads[max_threads];
    size_t nthreads;
};

struct probe_state {
    int64_t loaded, start, end; // library constructor, timer start, Escape taken
    call calls[max_calls];
    size_t ncalls;
    frame frames[max_frames];
    size_t nframes;
    tick ticks[max_ticks];
    size_t nticks;
    int64_t last_count;
    int pending_ticks;
    int64_t text_ns;
    int64_t wait_ns; // blocked in al_wait_for_event between start and end
    cpu_snapshot at_start, at_end;
    thread_origin origins[max_threads];
    int norigins; // taken atomically: threads start threads
};

probe_state ps;

int64_t now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t rusage_ns(int who)
{
    rusage ru{};
    getrusage(who, &ru);
    return (static_cast<int64_t>(ru.ru_utime.tv_sec) + ru.ru_stime.tv_sec) * 1000000000 +
           (static_cast<int64_t>(ru.ru_utime.tv_usec) + ru.ru_stime.tv_usec) * 1000;
}

// Reads a small /proc file whole; empty on failure.
void slurp(const char *path, char *buf, size_t len)
{
    buf[0] = '\0';
    if (std::FILE *f = std::fopen(path, "r")) {
        const size_t n = std::fread(buf, 1, len - 1, f);
        buf[n] = '\0';
        std::fclose(f);
    }
}

void snapshot(cpu_snapshot &s)
{
    s.process_ns = rusage_ns(RUSAGE_SELF);
    s.main_ns = rusage_ns(RUSAGE_THREAD);
    s.nthreads = 0;
    DIR *dir = opendir("/proc/self/task");
    if (!dir) {
        return;
    }
    while (dirent *d = readdir(dir)) {
        if (d->d_name[0] == '.' || s.nthreads == max_threads) {
            continue;
        }
        thread_cpu &t = s.threads[s.nthreads++];
        t.tid = std::atol(d->d_name);
        char path[300], buf[128];
        std::snprintf(path, sizeof path, "/proc/self/task/%s/comm", d->d_name);
        slurp(path, t.name, sizeof t.name);
        t.name[std::strcspn(t.name, "\n")] = '\0';
        // schedstat's first field: nanoseconds on a CPU, finer than stat's ticks.
        std::snprintf(path, sizeof path, "/proc/self/task/%s/schedstat", d->d_name);
        slurp(path, buf, sizeof buf);
        t.run_ns = std::atoll(buf);
    }
    closedir(dir);
}

template <typename F> F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

size_t enter(const char *name)
{
    const size_t i = ps.ncalls < max_calls ? ps.ncalls++ : max_calls - 1;
    ps.calls[i] = {name, now(), 0};
    return i;
}

// Times one start-up call on its way to the library.
template <typename R, typename... A> R timed(const char *name, A... a)
{
    const auto fn = real<R (*)(A...)>(name);
    const size_t i = enter(name);
    const R r = fn(a...);
    ps.calls[i].out = now();
    return r;
}

struct thread_start {
    void *(*fn)(void *);
    void *arg;
    void *routine; // what the thread runs, for its origin
};

// The library's own threads all start in one trampoline of its core; the
// routine it was handed, noted here on the creating thread, tells them apart.
__thread void *handed_routine;

void *started(void *p)
{
    const thread_start ts = *static_cast<thread_start *>(p);
    std::free(p);
    const int i = __atomic_fetch_add(&ps.norigins, 1, __ATOMIC_RELAXED);
    Dl_info info{};
    if (i < static_cast<int>(max_threads) && dladdr(ts.routine, &info) && info.dli_fname) {
        // "/usr/lib/x86_64-linux-gnu/liballegro_audio.so.5.2" becomes "allegro_audio".
        const char *base = std::strrchr(info.dli_fname, '/');
        base = base ? base + 1 : info.dli_fname;
        if (std::strncmp(base, "lib", 3) == 0) {
            base += 3;
        }
        std::snprintf(ps.origins[i].lib, name_len, "%.*s", static_cast<int>(std::strcspn(base, ".")), base);
        ps.origins[i].tid = static_cast<long>(gettid());
    }
    return ts.fn(ts.arg);
}

const char *origin(long tid)
{
    for (int i = 0; i < ps.norigins && i < static_cast<int>(max_threads); i++) {
        if (ps.origins[i].tid == tid) {
            return ps.origins[i].lib;
        }
    }
    return nullptr;
}

// The calls made every frame, looked up once.
void (*real_wait)(ALLEGRO_EVENT_QUEUE *, ALLEGRO_EVENT *);
void (*real_text)(const ALLEGRO_FONT *, ALLEGRO_COLOR, float, float, float, float, int, const char *);
void (*real_flip)(void);

__attribute__((constructor)) void loaded()
{
    ps.loaded = now();
    ps.last_count = -1;
    real_wait = real<decltype(real_wait)>("al_wait_for_event");
    real_text = real<decltype(real_text)>("al_draw_multiline_text");
    real_flip = real<decltype(real_flip)>("al_flip_display");
}

__attribute__((destructor)) void write_out()
{
    const char *out = std::getenv("BENCH_PROBE_OUT");
    std::FILE *f = out ? std::fopen(out, "w") : nullptr;
    if (!f) {
        return;
    }
    const int64_t exited = now();
    const char *exec = std::getenv("BENCH_EXEC_NS");
    std::fprintf(f, "exec %s\nloaded %lld\nstart %lld\nend %lld\nexit %lld\n", exec ? exec : "0",
                 static_cast<long long>(ps.loaded), static_cast<long long>(ps.start),
                 static_cast<long long>(ps.end), static_cast<long long>(exited));
    for (size_t i = 0; i < ps.ncalls; i++) {
        std::fprintf(f, "call %s %lld %lld\n", ps.calls[i].name, static_cast<long long>(ps.calls[i].in),
                     static_cast<long long>(ps.calls[i].out));
    }
    for (size_t i = 0; i < ps.nticks; i++) {
        std::fprintf(f, "tick %lld %lld\n", static_cast<long long>(ps.ticks[i].at),
                     static_cast<long long>(ps.ticks[i].count));
    }
    for (size_t i = 0; i < ps.nframes; i++) {
        const frame &fr = ps.frames[i];
        std::fprintf(f, "frame %lld %lld %lld %d %lld\n", static_cast<long long>(fr.in),
                     static_cast<long long>(fr.out), static_cast<long long>(fr.count), fr.ticks,
                     static_cast<long long>(fr.text_ns));
    }
    std::fprintf(f, "wait %lld\n", static_cast<long long>(ps.wait_ns));
    std::fprintf(f, "cpu %lld %lld %lld %lld\n", static_cast<long long>(ps.at_start.process_ns),
                 static_cast<long long>(ps.at_end.process_ns - ps.at_start.process_ns),
                 static_cast<long long>(ps.at_end.main_ns - ps.at_start.main_ns),
                 static_cast<long long>(rusage_ns(RUSAGE_SELF)));
    // Per thread over the run; the main thread's id is the process's.
    const long main_tid = static_cast<long>(getpid());
    const char *main_name = "";
    for (size_t i = 0; i < ps.at_end.nthreads; i++) {
        if (ps.at_end.threads[i].tid == main_tid) {
            main_name = ps.at_end.threads[i].name;
        }
    }
    for (size_t i = 0; i < ps.at_end.nthreads; i++) {
        const thread_cpu &t = ps.at_end.threads[i];
        int64_t before = 0;
        for (size_t j = 0; j < ps.at_start.nthreads; j++) {
            if (ps.at_start.threads[j].tid == t.tid) {
                before = ps.at_start.threads[j].run_ns;
            }
        }
        // Threads that kept the program's name go by the library that started them.
        const char *lib = origin(t.tid);
        const bool unnamed = std::strncmp(t.name, main_name, name_len) == 0;
        std::fprintf(f, "thread %s %lld\n",
                     t.tid == main_tid ? "main"
                     : unnamed && lib  ? lib
                                       : t.name,
                     static_cast<long long>(t.run_ns - before));
    }
    char status[4096];
    slurp("/proc/self/status", status, sizeof status);
    const char *hwm = std::strstr(status, "VmHWM:");
    std::fprintf(f, "rss_peak_kb %ld\n", hwm ? std::atol(hwm + 6) : 0L);
    std::fclose(f);
}

} // namespace

// ---- Threads ----

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*fn)(void *), void *arg)
{
    const auto create =
        real<int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *)>("pthread_create");
    auto *ts = static_cast<thread_start *>(std::malloc(sizeof(thread_start)));
    if (!ts) {
        return create(thread, attr, fn, arg);
    }
    *ts = {fn, arg, handed_routine ? handed_routine : reinterpret_cast<void *>(fn)};
    const int r = create(thread, attr, started, ts);
    if (r != 0) {
        std::free(ts);
    }
    return r;
}

extern "C" ALLEGRO_THREAD *al_create_thread(void *(*proc)(ALLEGRO_THREAD *, void *), void *arg)
{
    handed_routine = reinterpret_cast<void *>(proc);
    ALLEGRO_THREAD *t =
        real<ALLEGRO_THREAD *(*)(void *(*)(ALLEGRO_THREAD *, void *), void *)>("al_create_thread")(proc, arg);
    handed_routine = nullptr;
    return t;
}

// ---- Start-up calls ----

extern "C" bool al_install_system(int version, int (*atexit_ptr)(void (*)(void)))
{
    return timed<bool>("al_install_system", version, atexit_ptr);
}

#define PROBE_INIT(name)                                                                                     \
    extern "C" bool name(void)                                                                               \
    {                                                                                                        \
        return timed<bool>(#name);                                                                           \
    }

PROBE_INIT(al_install_audio)
PROBE_INIT(al_install_keyboard)
PROBE_INIT(al_install_mouse)
PROBE_INIT(al_init_font_addon)
PROBE_INIT(al_init_ttf_addon)
PROBE_INIT(al_init_acodec_addon)
PROBE_INIT(al_init_video_addon)
PROBE_INIT(al_init_image_addon)
PROBE_INIT(al_init_primitives_addon)

extern "C" ALLEGRO_DISPLAY *al_create_display(int w, int h)
{
    return timed<ALLEGRO_DISPLAY *>("al_create_display", w, h);
}

extern "C" ALLEGRO_EVENT_QUEUE *al_create_event_queue(void)
{
    return timed<ALLEGRO_EVENT_QUEUE *>("al_create_event_queue");
}

extern "C" ALLEGRO_FONT *al_load_ttf_font(const char *file, int size, int flags)
{
    return timed<ALLEGRO_FONT *>("al_load_ttf_font", file, size, flags);
}

extern "C" ALLEGRO_TIMER *al_create_timer(double seconds)
{
    return timed<ALLEGRO_TIMER *>("al_create_timer", seconds);
}

extern "C" ALLEGRO_SAMPLE *al_load_sample(const char *file)
{
    return timed<ALLEGRO_SAMPLE *>("al_load_sample", file);
}

extern "C" bool al_reserve_samples(int n)
{
    return timed<bool>("al_reserve_samples", n);
}

extern "C" bool al_play_sample(ALLEGRO_SAMPLE *spl, float gain, float pan, float speed, ALLEGRO_PLAYMODE loop,
                               ALLEGRO_SAMPLE_ID *ret_id)
{
    return timed<bool>("al_play_sample", spl, gain, pan, speed, loop, ret_id);
}

// The run is measured from here to the Escape.
extern "C" void al_start_timer(ALLEGRO_TIMER *timer)
{
    const auto fn = real<void (*)(ALLEGRO_TIMER *)>("al_start_timer");
    snapshot(ps.at_start);
    const size_t i = enter("al_start_timer");
    fn(timer);
    ps.start = ps.calls[i].out = now();
}

// ---- The loop ----

extern "C" void al_wait_for_event(ALLEGRO_EVENT_QUEUE *queue, ALLEGRO_EVENT *ev)
{
    const int64_t t0 = now();
    real_wait(queue, ev);
    const int64_t t1 = now();
    if (ps.start && !ps.end) {
        ps.wait_ns += t1 - t0;
    }
    if (!ev) {
        return;
    }
    if (ev->type == ALLEGRO_EVENT_TIMER) {
        ps.last_count = ev->timer.count;
        ps.pending_ticks++;
        if (ps.nticks < max_ticks) {
            ps.ticks[ps.nticks++] = {t1, ev->timer.count};
        }
    } else if (ev->type == ALLEGRO_EVENT_KEY_DOWN && ev->keyboard.keycode == ALLEGRO_KEY_ESCAPE && !ps.end) {
        ps.end = t1;
        snapshot(ps.at_end);
    }
}

// The library's own varargs wrapper, timed: format, then draw the result.
extern "C" void al_draw_multiline_textf(const ALLEGRO_FONT *font, ALLEGRO_COLOR color, float x, float y,
                                        float max_width, float line_height, int flags, const char *format,
                                        ...)
{
    const bool first = ps.nframes == 0;
    const size_t i = first ? enter("al_draw_multiline_textf") : 0;
    const int64_t t0 = now();
    va_list ap, again;
    va_start(ap, format);
    va_copy(again, ap);
    const size_t len = static_cast<size_t>(std::vsnprintf(nullptr, 0, format, ap)) + 1;
    char *text = static_cast<char *>(std::malloc(len));
    std::vsnprintf(text, len, format, again);
    va_end(again);
    va_end(ap);
    real_text(font, color, x, y, max_width, line_height, flags, text);
    std::free(text);
    const int64_t t1 = now();
    ps.text_ns += t1 - t0;
    if (first) {
        ps.calls[i].out = t1;
    }
}

extern "C" void al_flip_display(void)
{
    const size_t i = ps.nframes == 0 ? enter("al_flip_display") : 0;
    const int64_t t0 = now();
    real_flip();
    const int64_t t1 = now();
    if (ps.nframes == 0) {
        ps.calls[i].out = t1;
    }
    if (ps.nframes < max_frames) {
        ps.frames[ps.nframes++] = {t0, t1, ps.last_count, ps.pending_ticks, ps.text_ns};
    }
    ps.pending_ticks = 0;
    ps.text_ns = 0;
}
