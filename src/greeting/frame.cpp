#include "greeting.h"

namespace {

// The window is 800 x 600; the greeting zooms about its centre.
constexpr float centre_x = 400.0f;
constexpr float centre_y = 300.0f;
constexpr int centre_y_px = 300;
constexpr float max_line_width = 800.0f; // measured before the zoom, so zoom never re-wraps
constexpr int text_drop_px = 5;          // the first line's top sits h - 5 above the centre
constexpr int line_gap_px = 10;          // extra space between the two lines
constexpr float offset_px = 5.0f;        // the white copy sits this far right and down of the red

// One pass of the greeting. The zoom is applied before the final translation,
// so a pass's offset from the centre stays in whole screen pixels at any scale.
void draw_pass(run_state &rs, ALLEGRO_COLOR colour, float to_x, float to_y)
{
    const float scale = static_cast<float>(rs.scale);
    al_identity_transform(&rs.tran);
    al_translate_transform(&rs.tran, -centre_x, -centre_y);
    al_scale_transform(&rs.tran, scale, scale);
    al_translate_transform(&rs.tran, to_x, to_y);
    al_use_transform(&rs.tran);
    al_draw_multiline_textf(rs.font, colour, centre_x,
                            static_cast<float>(centre_y_px - al_get_font_line_height(rs.font) + text_drop_px),
                            max_line_width,
                            static_cast<float>(al_get_font_line_height(rs.font) + line_gap_px),
                            ALLEGRO_ALIGN_CENTRE, "Hello Dr.\nBrackwen!");
}

} // namespace

void draw_frame(run_state &rs)
{
    al_set_target_backbuffer(rs.display);
    al_clear_to_color(al_map_rgb(0, 0, 0));
    draw_pass(rs, al_map_rgb(255, 0, 0), centre_x, centre_y);
    draw_pass(rs, al_map_rgb(255, 255, 255), centre_x + offset_px, centre_y + offset_px);
    al_flip_display();
}
