// The floor under hello-pulse's figures: the same window, timer and queue and
// the same loop, but each frame is only a black clear and a flip. No text, no
// sound, no addons: what is left is what the library and the display cost.

#include <allegro5/allegro.h>

#include <cstdio>

#include "greeting/greeting.h" // tick_seconds: the demo's own timer rate

namespace {

constexpr int window_w = 800;
constexpr int window_h = 600;

} // namespace

int main()
{
    // Nothing is destroyed: as in the demo, the library's atexit shutdown does it.
    if (!al_init() || !al_install_keyboard()) {
        printf("Install failed.\n");
        return 2;
    }
    al_set_new_display_flags(ALLEGRO_WINDOWED);
    ALLEGRO_DISPLAY *display = al_create_display(window_w, window_h);
    ALLEGRO_EVENT_QUEUE *queue = al_create_event_queue();
    ALLEGRO_TIMER *timer = al_create_timer(tick_seconds);
    if (!display || !queue || !timer) {
        printf("Failed setup.\n");
        return -1;
    }
    al_register_event_source(queue, al_get_display_event_source(display));
    al_register_event_source(queue, al_get_timer_event_source(timer));
    al_register_event_source(queue, al_get_keyboard_event_source());
    al_start_timer(timer);

    bool done = false;
    bool redraw = true;
    ALLEGRO_EVENT ev;
    while (!done) {
        if (redraw) {
            al_set_target_backbuffer(display);
            al_clear_to_color(al_map_rgb(0, 0, 0));
            al_flip_display();
            redraw = false;
        }
        do {
            al_wait_for_event(queue, &ev);
            if (ev.type == ALLEGRO_EVENT_TIMER) {
                redraw = true;
            }
            if ((ev.type == ALLEGRO_EVENT_KEY_DOWN && ev.keyboard.keycode == ALLEGRO_KEY_ESCAPE) ||
                ev.type == ALLEGRO_EVENT_DISPLAY_CLOSE) {
                done = true;
            }
        } while (!al_is_event_queue_empty(queue));
    }
    return 0;
}
