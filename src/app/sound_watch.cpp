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
// The only thing shared with the library's mixing thread outside its own
// calls is the frame count: a callback there adds to an atomic. Everything
// else happens on the main thread.

#include "sound_watch.h"

#include <allegro5/allegro_audio.h>

#include <algorithm>
#include <atomic>

namespace {

constexpr int64_t ticks_per_look = 60; // once a second of 60 Hz ticks
constexpr double racing = 4.0;         // times real time; a healthy voice makes 1
// A driver that cannot reach a new server (OpenAL's, whose device stays lost)
// gives a new voice that races at once: each such voice doubles the looks
// between tries, up to this many, so it burns a second now and then, not a core.
constexpr int most_looks_between_tries = 64;

struct watch_state {
    bool started;   // counting, and the voice's format known
    bool fresh;     // the voice was made by a try, and not yet seen healthy
    double seen_at; // al_get_time at the last look
    uint64_t seen;  // frames mixed by then
    int wait;       // looks between tries while there is no voice
    int waited;     // looks since the last try
    unsigned int freq;
    ALLEGRO_AUDIO_DEPTH depth;
    ALLEGRO_CHANNEL_CONF chans;
};

// Static storage, not main's frame: the mixing thread may run the callback
// until the library's exit-time shutdown, after main has returned.
watch_state ws{};
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

} // namespace

void watch_sound(int64_t count)
{
    if (count % ticks_per_look != 0) {
        return;
    }
    ALLEGRO_MIXER *mixer = al_get_default_mixer();
    ALLEGRO_VOICE *voice = al_get_default_voice();
    if (!ws.started) {
        // A demo that started silent stays silent, as before.
        if (!mixer || !voice || !al_set_mixer_postprocess_callback(mixer, count_frames, nullptr)) {
            return;
        }
        ws.started = true;
        ws.wait = 1;
        ws.freq = al_get_voice_frequency(voice);
        ws.depth = al_get_voice_depth(voice);
        ws.chans = al_get_voice_channels(voice);
        rate_since_last_look();
        return;
    }
    const double rate = rate_since_last_look();
    if (voice) {
        if (rate > racing * al_get_mixer_frequency(mixer)) {
            ws.wait = ws.fresh ? std::min(ws.wait * 2, most_looks_between_tries) : 1;
            ws.waited = 0;
            al_set_default_voice(nullptr); // destroys it, joining its thread
        }
        ws.fresh = false;
        return;
    }
    if (++ws.waited < ws.wait) {
        return;
    }
    ws.waited = 0;
    voice = al_create_voice(ws.freq, ws.depth, ws.chans); // fails while no server is reachable
    if (voice && al_attach_mixer_to_voice(mixer, voice)) {
        al_set_default_voice(voice);
        ws.fresh = true;
        rate_since_last_look();
        return;
    }
    al_destroy_voice(voice);
}
