// LD_PRELOAD interposer for what a healthy machine cannot provoke. It passes every call below on to the real
// library and appends the call's name to the file named by HELLO_SHIM_LOG (with the monotonic time for the
// timer's start and each flip, so a test can tell when each frame was shown). It makes the one call named by
// HELLO_SHIM_FAIL fail instead (false or null), as the library would; and HELLO_SHIM_STALL="N S" holds the
// N-th flip S seconds after its frame is shown, as a slow frame would.

#include <allegro5/allegro.h>
#include <allegro5/allegro_acodec.h>
#include <allegro5/allegro_audio.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_image.h>
#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>
#include <allegro5/allegro_video.h>
#include <dlfcn.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

void note(const char *name, bool timed = false)
{
    if (const char *log = std::getenv("HELLO_SHIM_LOG")) {
        if (std::FILE *f = std::fopen(log, "a")) {
            timespec t{};
            clock_gettime(CLOCK_MONOTONIC, &t);
            // A lost log line shows as a failed check on the log, not here.
            (void)std::fprintf(f, timed ? "%s %ld.%09ld\n" : "%s\n", name, static_cast<long>(t.tv_sec),
                               t.tv_nsec);
            (void)std::fclose(f);
        }
    }
}

// Logs the call and tells whether it is the one to fail.
bool failing(const char *name)
{
    note(name);
    const char *fail = std::getenv("HELLO_SHIM_FAIL");
    return fail && std::strcmp(fail, name) == 0;
}

template <typename F> F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

} // namespace

// Each fails as the library would (false or null) when it is the one named.
// NOLINTBEGIN(bugprone-macro-parentheses): a type and parameter lists, not values
#define SHIM_FAILS(type, name, params, args)                                                                 \
    extern "C" type name params                                                                              \
    {                                                                                                        \
        if (failing(#name)) {                                                                                \
            return {};                                                                                       \
        }                                                                                                    \
        return real<type(*) params>(#name) args;                                                             \
    }

SHIM_FAILS(bool, al_install_system, (int version, int (*atexit_ptr)(void (*)(void))), (version, atexit_ptr))
SHIM_FAILS(bool, al_install_audio, (void), ())
SHIM_FAILS(bool, al_install_keyboard, (void), ())
SHIM_FAILS(bool, al_install_mouse, (void), ())
SHIM_FAILS(bool, al_init_font_addon, (void), ())
SHIM_FAILS(bool, al_init_ttf_addon, (void), ())
SHIM_FAILS(bool, al_init_acodec_addon, (void), ())
SHIM_FAILS(bool, al_init_video_addon, (void), ())
SHIM_FAILS(bool, al_init_image_addon, (void), ())
SHIM_FAILS(bool, al_init_primitives_addon, (void), ())
SHIM_FAILS(ALLEGRO_DISPLAY *, al_create_display, (int w, int h), (w, h))
SHIM_FAILS(ALLEGRO_EVENT_QUEUE *, al_create_event_queue, (void), ())
SHIM_FAILS(ALLEGRO_FONT *, al_load_ttf_font, (const char *file, int size, int flags), (file, size, flags))
SHIM_FAILS(ALLEGRO_TIMER *, al_create_timer, (double seconds), (seconds))
SHIM_FAILS(ALLEGRO_SAMPLE *, al_load_sample, (const char *file), (file))
// NOLINTEND(bugprone-macro-parentheses)

extern "C" void al_start_timer(ALLEGRO_TIMER *timer)
{
    note("al_start_timer", true);
    real<void (*)(ALLEGRO_TIMER *)>("al_start_timer")(timer);
}

extern "C" void al_flip_display(void)
{
    static int flips = 0;
    real<void (*)(void)>("al_flip_display")();
    note("al_flip_display", true);
    char *rest = nullptr;
    const char *stall = std::getenv("HELLO_SHIM_STALL");
    if (stall && ++flips == std::strtol(stall, &rest, 10)) {
        std::this_thread::sleep_for(std::chrono::duration<double>(std::strtod(rest, nullptr)));
    }
}
