// The pulsing greeting: the run state that the event loop keeps, and the two
// operations it calls on every tick and every due frame.
#pragma once

#include <allegro5/allegro.h>
#include <allegro5/allegro_audio.h>
#include <allegro5/allegro_font.h>

#include <cstdint>

// Seconds per timer tick. The timer is created with it, and the pulse turns a
// tick count back into seconds with it, so the two can never drift apart.
constexpr double tick_seconds = 1.0 / 60.0;

// Everything the demo runs with, owned by main for the whole run. Nothing here
// is ever destroyed by the program: the library's exit-time shutdown does it.
struct run_state {
    ALLEGRO_PATH *path; // only alive while the resources directory is made current
    ALLEGRO_DISPLAY *display;
    ALLEGRO_EVENT_QUEUE *queue;
    ALLEGRO_FONT *font;
    ALLEGRO_TIMER *timer;
    ALLEGRO_SAMPLE *sample;
    double time;            // seconds since the timer started, as of the last tick
    double scale;           // zoom factor of the greeting, 1.0 is the font's own size
    double period;          // seconds per pulse cycle
    bool done;              // the user asked to quit
    bool redraw;            // a frame is due
    ALLEGRO_TRANSFORM tran; // scratch, rebuilt for each text pass
    ALLEGRO_EVENT ev;       // the event the loop is looking at
};

// Sets time and scale from the tick count of a timer event. The count, not a
// per-frame step, drives the pulse, so skipped frames never put it out of phase.
void update_pulse(run_state &rs, int64_t count);

// Draws one frame, black with the greeting in red and then in white 5 px right
// and down, zoomed by scale about the window centre, and flips it.
void draw_frame(run_state &rs);
