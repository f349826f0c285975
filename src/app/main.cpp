// hello-pulse: a two-line greeting that pulses about the centre of an 800 x 600
// window while a sound clip loops, until Escape or the close button.

#include <allegro5/allegro.h>
#include <allegro5/allegro_acodec.h>
#include <allegro5/allegro_audio.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_image.h>
#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>
#include <allegro5/allegro_video.h>

// The process guard's platform parts: POSIX descriptors, Windows' consoles,
// and Xlib where the library draws through an X server.
#ifdef ALLEGRO_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif
#ifdef ALLEGRO_WINDOWS
#include <windows.h>
#endif
#ifdef ALLEGRO_WITH_XWINDOWS
#include <X11/Xlib.h>
#endif

#include <cstdio>
#include <filesystem>

#include "greeting/greeting.h"
#include "sound_watch.h"

namespace {

constexpr int window_w = 800;
constexpr int window_h = 600;
constexpr char font_file[] = "Verdana.ttf";
constexpr int font_px = -72; // negative: 72 px of total glyph height, not 72 px per em
constexpr char clip_file[] = "Sensors7secs.wav";
constexpr int reserved_samples = 2;
constexpr float clip_gain = 0.75f;
constexpr float clip_pan = 0.0f; // centred; ALLEGRO_AUDIO_PAN_NONE would skip panning altogether
constexpr float clip_speed = 1.0f;
constexpr double pulse_period = 4.0;

// A named pipe in a data file's place would block its load for good, waiting
// for a writer: only a regular file is handed to a loader.
bool regular(const char *name)
{
    std::error_code ec;
    return std::filesystem::is_regular_file(name, ec);
}

#ifdef ALLEGRO_WITH_XWINDOWS
constexpr int lost_display_status = 1;

// Xlib's own handler for a lost X server calls exit() from whichever of the
// library's threads notices; the exit-time shutdown then deadlocks or crashes
// against the main thread, still inside the library. End at once instead,
// with Xlib's own status.
int lost_display(Display * /*display*/)
{
    _exit(lost_display_status);
}
#endif

// Runs before the library opens anything. With standard output closed, the
// library's X connection would take its descriptor and a failure line would
// be written into the X protocol stream; and a lost X server must end the
// process at once (lost_display). On Windows the program is a window program
// (no console of its own when started from Explorer), so it has no standard
// output unless one was handed to it: started from a command prompt, it
// writes a failure line into the prompt's console, as a console program
// would; from Explorer, with no console to write to, the line goes nowhere.
void guard_process()
{
#ifdef ALLEGRO_WINDOWS
    if (!GetStdHandle(STD_OUTPUT_HANDLE) && AttachConsole(ATTACH_PARENT_PROCESS)) {
        // Unchecked: without the console, the line is lost as from Explorer.
        (void)freopen("CONOUT$", "w", stdout);
    }
#endif
#ifdef ALLEGRO_UNIX
    if (fcntl(STDOUT_FILENO, F_GETFD) == -1) {
        const int fd = open("/dev/null", O_WRONLY);
        if (fd >= 0 && fd != STDOUT_FILENO) {
            dup2(fd, STDOUT_FILENO);
            close(fd);
        }
    }
#endif
#ifdef ALLEGRO_WITH_XWINDOWS
    XSetIOErrorHandler(lost_display);
#endif
}

} // namespace

int main()
{
    // Everything below lives until the process ends. Nothing is destroyed here,
    // on any path: the library's shutdown, registered with atexit by al_init,
    // releases it all after main returns.
    run_state rs{};

    // ---- Start-up --------------------------------------------------------
    guard_process();
    if (!al_init()) {
        printf("Allegro init failed.\n");
        return 1;
    }
    if (!al_install_audio() || !al_install_keyboard() || !al_install_mouse()) {
        printf("Install failed.\n");
        return 2;
    }
    if (!al_init_font_addon() || !al_init_ttf_addon() || !al_init_acodec_addon() || !al_init_video_addon() ||
        !al_init_image_addon() || !al_init_primitives_addon()) {
        printf("Addon init failed.\n");
        return 5;
    }

    // The data files are opened by bare name, so they are found beside the
    // program wherever it was started from. A failed change is not reported
    // here: it shows up below as a file that cannot be loaded.
    rs.path = al_get_standard_path(ALLEGRO_RESOURCES_PATH);
    if (rs.path) {
        al_change_directory(al_path_cstr(rs.path, ALLEGRO_NATIVE_PATH_SEP));
        al_destroy_path(rs.path);
        rs.path = nullptr;
    }

    // ---- Run state -------------------------------------------------------
    // All five are attempted before any is tested; one message covers them all.
    al_set_new_display_flags(ALLEGRO_WINDOWED);
    rs.display = al_create_display(window_w, window_h);
    rs.queue = al_create_event_queue();
    rs.font = regular(font_file) ? al_load_ttf_font(font_file, font_px, 0) : nullptr;
    rs.timer = al_create_timer(tick_seconds);
    rs.sample = regular(clip_file) ? al_load_sample(clip_file) : nullptr;
    if (!rs.display || !rs.queue || !rs.font || !rs.timer || !rs.sample) {
        printf("Failed setup.\n");
        return -1;
    }

    // The mouse is installed but never listened to.
    al_register_event_source(rs.queue, al_get_display_event_source(rs.display));
    al_register_event_source(rs.queue, al_get_timer_event_source(rs.timer));
    al_register_event_source(rs.queue, al_get_keyboard_event_source());

    // Unchecked: if the reservation or the playback fails, the demo runs silent.
    al_reserve_samples(reserved_samples);
    rs.time = 0.0;
    rs.scale = 0.0; // the first frame, drawn before any tick, is empty
    rs.period = pulse_period;
    rs.done = false;
    rs.redraw = true;
    al_play_sample(rs.sample, clip_gain, clip_pan, clip_speed, ALLEGRO_PLAYMODE_LOOP, nullptr);
    al_start_timer(rs.timer);

    // ---- Event loop ------------------------------------------------------
    // Drain the queue before drawing: ticks that piled up behind a slow frame
    // are all taken, and the next frame shows the latest count's phase.
    while (!rs.done) {
        if (rs.redraw) {
            draw_frame(rs);
            rs.redraw = false;
        }
        do {
            al_wait_for_event(rs.queue, &rs.ev);
            if (rs.ev.type == ALLEGRO_EVENT_TIMER) {
                rs.redraw = true;
                update_pulse(rs, rs.ev.timer.count);
                watch_sound(rs.ev.timer.count); // a mend: sound through a server's restart
            }
            if ((rs.ev.type == ALLEGRO_EVENT_KEY_DOWN && rs.ev.keyboard.keycode == ALLEGRO_KEY_ESCAPE) ||
                rs.ev.type == ALLEGRO_EVENT_DISPLAY_CLOSE) {
                rs.done = true;
            }
        } while (!al_is_event_queue_empty(rs.queue));
    }
    quit_sound(); // a mend: a sound server that does not answer never holds the exit
    return 0;
}
