// Why this exists: when the sound server goes away under the running demo
// (killed, restarted by an update, crashed), the library's mixing thread goes
// on writing to the dead connection, each write fails at once, and it loops
// without waiting: a whole core burned, and the sound never comes back, even
// once a server runs again. The library tells the program nothing, but the
// default mixer then makes frames far faster than real time. So once a second
// of ticks the main thread compares the frames mixed with the time gone by. A
// voice that races is dropped (silence, and the core is free again); then a
// new voice of the old one's format is tried every second until a server
// takes it, and the default mixer, with the clip still looping in it at its
// gain and pan, is attached to it.
//
// A server that is there but does not answer (hung at start, stopped in a
// debugger, stuck on a dead sink) blocks whatever talks to it: making a voice
// waits for its answer, and destroying a voice joins a mixing thread that
// waits in a write. So the main thread never makes or drops a voice itself:
// it hands that to one helper thread (the hand) and reads the outcome back at
// a later look, skipping its looks while the hand is busy. And the exit, which
// destroys the voice, is bounded (quit_sound).
//
// Shared between threads, outside the library's own calls: the frame count
// (the mixing thread's callback adds to an atomic), and the hand's job and
// outcome (below). Everything else is the main thread's.

#include "sound_watch.h"

// In a browser page built without threads (emscripten's default; scripts/web)
// the hand cannot start, and there is no sound server to lose: the watch does
// nothing there.
#if defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)

void watch_sound(int64_t /*count*/) {}

void quit_sound() {}

#else

#include <allegro5/allegro_audio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

constexpr int64_t ticks_per_look = 60; // once a second of 60 Hz ticks
constexpr double racing = 4.0;         // times real time; a healthy voice makes 1
// A driver that cannot reach a new server (OpenAL's, whose device stays lost)
// gives a new voice that races at once: each such voice doubles the looks
// between tries, up to this many, so it burns a second now and then, not a core.
constexpr int most_looks_between_tries = 64;
// How long the exit waits for the voice to go: a healthy one goes within a
// buffer (1 ms here, 0.14 s under valgrind); the rest of a second is for the
// key press to reach the loop and the process to end.
constexpr std::chrono::milliseconds exit_bound{500};

struct watch_state {
    bool started;   // counting, and the voice's format known
    bool voice;     // a default voice is playing, as far as the watch knows
    bool fresh;     // the voice was made by a try, and not yet seen healthy
    bool asked;     // a try was handed over, its outcome not yet read
    double seen_at; // al_get_time at the last look
    uint64_t seen;  // frames mixed by then
    int wait;       // looks between tries while there is no voice
    int waited;     // looks since the last try
    unsigned int mixer_freq;
};

enum job { idle, make, drop, quit };

// The hand's work. The main thread sets job (and, before the first job, the
// format) only while job is idle; the hand sets made and then job back to
// idle, or, after quit, to quit for good. The mutex guards job's changes for
// the condition variable; neither thread holds it across a library call.
struct hand_state {
    std::mutex m;
    std::condition_variable cv;
    std::atomic<int> job{idle};
    std::atomic<bool> made{false}; // the last try gave a voice
    std::atomic<bool> done{false}; // the hand has quit: it calls the library no more
    std::thread thread;
    ALLEGRO_MIXER *mixer;
    unsigned int freq;
    ALLEGRO_AUDIO_DEPTH depth;
    ALLEGRO_CHANNEL_CONF chans;
};

// Static storage, not main's frame: the mixing thread may run the callback
// until the library's exit-time shutdown, after main has returned.
watch_state ws{};
hand_state hs;
std::atomic<uint64_t> mixed{0}; // frames the default mixer has made

// Runs on the library's mixing thread, after each buffer is mixed.
void count_frames(void * /*buf*/, unsigned int samples, void * /*data*/)
{
    mixed.fetch_add(samples, std::memory_order_relaxed);
}

// Frames mixed per second since the last look; starts the next window.
double rate_since_last_look()
{
    const double now = al_get_time();
    const uint64_t n = mixed.load(std::memory_order_relaxed);
    const double rate = static_cast<double>(n - ws.seen) / std::max(now - ws.seen_at, 1e-3);
    ws.seen_at = now;
    ws.seen = n;
    return rate;
}

// The calls that may wait on the sound server, all in one place.
void work(int what)
{
    if (what == make) {
        ALLEGRO_VOICE *voice =
            al_create_voice(hs.freq, hs.depth, hs.chans); // fails while no server is reachable
        const bool ok = voice && al_attach_mixer_to_voice(hs.mixer, voice);
        if (ok) {
            al_set_default_voice(voice);
        } else {
            al_destroy_voice(voice);
        }
        hs.made = ok;
    } else {
        al_set_default_voice(nullptr); // destroys it, joining its thread
    }
}

void hand()
{
    for (;;) {
        std::unique_lock<std::mutex> lock(hs.m);
        hs.cv.wait(lock, [] { return hs.job != idle; });
        const int what = hs.job;
        lock.unlock();
        work(what);
        lock.lock();
        if (what == quit) {
            hs.done = true;
            hs.cv.notify_all();
            return;
        }
        hs.job = idle;
        hs.cv.notify_all();
    }
}

// The exit cannot wait on a server that does not answer: the voice, or the
// hand inside a library call, would hold it for good, and the library's
// shutdown would join the stuck mixing thread. End the process at once with
// the status the exit gives (Escape and the close button give 0), stdout
// flushed, skipping that shutdown: only a sound path stuck past the bound
// comes here.
[[noreturn]] void stuck()
{
    (void)std::fflush(stdout); // nothing to tell anyone if it fails
    std::_Exit(0);
}

void give(int what)
{
    if (!hs.thread.joinable()) {
        hs.thread = std::thread(hand);
    }
    const std::lock_guard<std::mutex> lock(hs.m);
    hs.job = what;
    hs.cv.notify_all();
}

} // namespace

void watch_sound(int64_t count)
{
    if (count % ticks_per_look != 0) {
        return;
    }
    if (!ws.started) {
        // A demo that started silent stays silent, as before.
        ALLEGRO_MIXER *mixer = al_get_default_mixer();
        ALLEGRO_VOICE *voice = al_get_default_voice();
        if (!mixer || !voice || !al_set_mixer_postprocess_callback(mixer, count_frames, nullptr)) {
            return;
        }
        ws.started = true;
        ws.voice = true;
        ws.wait = 1;
        ws.mixer_freq = al_get_mixer_frequency(mixer);
        hs.mixer = mixer;
        hs.freq = al_get_voice_frequency(voice);
        hs.depth = al_get_voice_depth(voice);
        hs.chans = al_get_voice_channels(voice);
        rate_since_last_look();
        return;
    }
    const double rate = rate_since_last_look();
    if (hs.job != idle) {
        return; // the hand is still waiting on the server
    }
    if (ws.asked) {
        // The window holds the new voice's frames since it was made.
        ws.asked = false;
        ws.voice = ws.fresh = hs.made;
    }
    if (ws.voice) {
        if (rate > racing * ws.mixer_freq) {
            ws.wait = ws.fresh ? std::min(ws.wait * 2, most_looks_between_tries) : 1;
            ws.waited = 0;
            ws.voice = false;
            give(drop);
        }
        ws.fresh = false;
        return;
    }
    if (++ws.waited < ws.wait) {
        return;
    }
    ws.waited = 0;
    ws.asked = true;
    give(make);
}

void quit_sound()
{
    const auto deadline = std::chrono::steady_clock::now() + exit_bound;
    if (!hs.thread.joinable() && !al_get_default_voice()) {
        return; // silent: nothing waits on a server
    }
    // The voice is dropped by the hand too, once it is idle, and the hand then
    // ends: the library's shutdown after main never overlaps a call of its own.
    std::unique_lock<std::mutex> lock(hs.m);
    if (hs.thread.joinable() && !hs.cv.wait_until(lock, deadline, [] { return hs.job == idle; })) {
        stuck();
    }
    lock.unlock();
    give(quit);
    lock.lock();
    if (!hs.cv.wait_until(lock, deadline, [] { return hs.done.load(); })) {
        stuck();
    }
    lock.unlock();
    hs.thread.join(); // it has returned, or is returning
}

#endif
