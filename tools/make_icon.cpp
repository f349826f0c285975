// Writes the demo's icon at one size: a red "H" with a white one a little
// right and down of it, on a black tile with rounded corners, as the window
// shows the greeting. Rendered in memory: no display needed.
//
// usage: make-icon FONT.ttf SIZE OUT.png

#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_image.h>
#include <allegro5/allegro_ttf.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr char letter[] = "H";
constexpr double letter_share = 0.62;       // of the tile's height, for the letter's ink
constexpr double offset_share = 1.0 / 24.0; // the white copy's step, as in the window
constexpr double corner_share = 0.16;
constexpr int smallest = 16, largest = 1024;
constexpr int subsamples = 4; // per axis, for smooth corners

// How much of the pixel whose top left is (x, y) lies inside the rounded tile.
float coverage(int x, int y, int size)
{
    const double r = size * corner_share;
    int inside = 0;
    for (int i = 0; i < subsamples; ++i) {
        for (int j = 0; j < subsamples; ++j) {
            const double px = x + (i + 0.5) / subsamples, py = y + (j + 0.5) / subsamples;
            // Distance past the corner's centre, along each axis; zero away from the corners.
            const double dx = std::fmax(std::fmax(r - px, px - (size - r)), 0.0);
            const double dy = std::fmax(std::fmax(r - py, py - (size - r)), 0.0);
            inside += dx * dx + dy * dy <= r * r;
        }
    }
    return static_cast<float>(inside) / (subsamples * subsamples);
}

// The black tile, pixel by pixel: the library's filled shapes leave
// uncovered seams on a memory bitmap, which would show as holes.
void tile(int size)
{
    al_lock_bitmap(al_get_target_bitmap(), ALLEGRO_PIXEL_FORMAT_ANY, ALLEGRO_LOCK_WRITEONLY);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            // Premultiplied alpha: black at any coverage is (0, 0, 0, coverage).
            al_put_pixel(x, y, al_map_rgba_f(0, 0, 0, coverage(x, y, size)));
        }
    }
    al_unlock_bitmap(al_get_target_bitmap());
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        (void)std::fputs("usage: make-icon FONT.ttf SIZE OUT.png\n", stderr);
        return 2;
    }
    char *end = nullptr;
    const long size_arg = std::strtol(argv[2], &end, 10);
    if (*end != '\0' || size_arg < smallest || size_arg > largest) {
        (void)std::fprintf(stderr, "make-icon: SIZE must be %d to %d\n", smallest, largest);
        return 2;
    }
    const int size = static_cast<int>(size_arg);
    // No atexit: nothing is left to release when a tool this short ends.
    if (!al_install_system(ALLEGRO_VERSION_INT, nullptr) || !al_init_font_addon() || !al_init_ttf_addon() ||
        !al_init_image_addon()) {
        (void)std::fputs("make-icon: cannot start the library\n", stderr);
        return 1;
    }
    al_set_new_bitmap_flags(ALLEGRO_MEMORY_BITMAP);
    // Negative: the size is the glyphs' full height in pixels; the ink of a
    // capital takes about three quarters of it.
    ALLEGRO_FONT *font = al_load_ttf_font(argv[1], -static_cast<int>(size * letter_share / 0.73), 0);
    ALLEGRO_BITMAP *icon = al_create_bitmap(size, size);
    if (!font || !icon) {
        (void)std::fprintf(stderr, "make-icon: cannot load %s or make a %d px bitmap\n", argv[1], size);
        return 1;
    }

    al_set_target_bitmap(icon);
    tile(size);

    // Centre the pair's ink, not the font's line box.
    int bx = 0, by = 0, bw = 0, bh = 0;
    al_get_text_dimensions(font, letter, &bx, &by, &bw, &bh);
    const int step = size * offset_share < 1.0 ? 1 : static_cast<int>(size * offset_share);
    const float x = static_cast<float>(size - bw - step) / 2.0f - static_cast<float>(bx);
    const float y = static_cast<float>(size - bh - step) / 2.0f - static_cast<float>(by);
    al_draw_text(font, al_map_rgb(255, 0, 0), x, y, 0, letter);
    al_draw_text(font, al_map_rgb(255, 255, 255), x + static_cast<float>(step), y + static_cast<float>(step),
                 0, letter);

    if (!al_save_bitmap(argv[3], icon)) {
        (void)std::fprintf(stderr, "make-icon: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
