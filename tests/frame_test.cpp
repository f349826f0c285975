// One frame of the greeting, drawn into a real window on the suite's virtual display and read back from the
// screen as a viewer would see it. GoogleTest before Xlib (through allegro_x.h): Xlib's macros break its
// headers.
#include <gtest/gtest.h>

#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_ttf.h>
#include <allegro5/allegro_x.h>

#include <algorithm>
#include <cstdio>

#include "greeting/greeting.h"
#include "harness.h"

namespace {

using harness::box;
using harness::image;
using harness::rgb;

constexpr int offset = 5; // the white copy's shift, right and down

// The window and font of the demo, made once for the whole test program.
run_state &window()
{
    static run_state rs{};
    if (!rs.display && !harness::display().empty()) {
        // No atexit: the library's shutdown need not run when the test ends.
        al_install_system(ALLEGRO_VERSION_INT, nullptr);
        al_init_font_addon();
        al_init_ttf_addon();
        al_set_new_display_flags(ALLEGRO_WINDOWED);
        rs.display = al_create_display(800, 600);
        rs.font = al_load_ttf_font(PROGRAM_DIR "/Verdana.ttf", -72, 0);
        rs.period = 4.0;
    }
    return rs;
}

image frame_at(double scale)
{
    run_state &rs = window();
    rs.scale = scale;
    draw_frame(rs);
    image im = harness::grab(al_get_x_window_id(rs.display));
    char name[32];
    (void)std::snprintf(name, sizeof name, "frame-%.3f", scale); // the name always fits
    harness::save_png(im, name);
    return im;
}

// How badly the two copies disagree with the white one lying (dx, dy) from the red one, as a share of their
// pixels: white is drawn last and covers red, so at the true offset every red pixel has white behind it, and
// every white pixel has the lit red copy (seen or covered) in front of it.
double misfit(const image &im, int dx, int dy)
{
    auto inside = [&](int x, int y) { return x >= 0 && y >= 0 && x < im.w && y < im.h; };
    int seen = 0, wrong = 0;
    for (int y = 0; y < im.h; ++y) {
        for (int x = 0; x < im.w; ++x) {
            const rgb &p = im.at(x, y);
            if (harness::red(p) && inside(x + dx, y + dy)) {
                ++seen;
                wrong += im.at(x + dx, y + dy).g <= 96;
            } else if (harness::white(p) && inside(x - dx, y - dy)) {
                ++seen;
                wrong += !harness::lit(im.at(x - dx, y - dy));
            }
        }
    }
    return seen ? static_cast<double>(wrong) / seen : 1.0;
}

TEST(Frame, ShowsTheGreetingInRedAndWhiteAtItsScale)
{
    ASSERT_TRUE(window().display && window().font);
    for (double scale : {0.0, 0.001, 0.75, 1.5, 3.0}) {
        const image im = frame_at(scale);
        ASSERT_EQ(im.w * im.h, 800 * 600) << "cannot read the window back";
        EXPECT_EQ(
            std::count_if(im.px.begin(), im.px.end(), [](const rgb &p) { return !harness::palette(p); }), 0)
            << "pixels outside black, red, white and their blends at scale " << scale;

        // Where the ink lands: nowhere at 0, at most a dim speck at the centre at the floor, and the font's
        // own layout zoomed about the centre (at 3.0 the window cuts it, between letters or not).
        const box lit = harness::bounds(im, harness::lit), want = harness::greeting(scale);
        EXPECT_TRUE(scale > 0.0 || lit.empty()) << "lit pixels at scale 0";
        EXPECT_EQ(lit.empty() ? "" : harness::off(lit, want, want), "") << "scale " << scale;
        EXPECT_TRUE(!lit.empty() || scale < 0.01) << "nothing drawn at scale " << scale;
        // Red shows above and left of white while the letters are large.
        const box r = harness::bounds(im, harness::red), w = harness::bounds(im, harness::white);
        if (scale > 0.5 && scale < 3.0) {
            EXPECT_LT(r.left, w.left) << "scale " << scale;
            EXPECT_LT(r.top, w.top) << "scale " << scale;
        }
    }
}

TEST(Frame, KeepsTheWhiteCopyFivePixelsRightAndDown)
{
    ASSERT_TRUE(window().display && window().font);
    for (double scale : {0.75, 1.5, 3.0}) {
        const image im = frame_at(scale);
        int best_dx = 0, best_dy = 0;
        double best = 2.0;
        for (int dy = -8; dy <= 8; ++dy) {
            for (int dx = -8; dx <= 8; ++dx) {
                const double share = misfit(im, dx, dy);
                if (share < best) {
                    best = share, best_dx = dx, best_dy = dy;
                }
            }
        }
        EXPECT_EQ(std::make_pair(best_dx, best_dy), std::make_pair(offset, offset)) << "scale " << scale;
        // Not zero: the glyphs are sampled from a texture, and 5 screen pixels are not a whole number of
        // texels at these scales, so edges differ slightly.
        EXPECT_LE(best, 0.03) << "scale " << scale;
    }
}

} // namespace
