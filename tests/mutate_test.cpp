// Damaged copies of the demo's two data files, a few hundred of each, loaded through the calls the program
// makes and, when one loads, used as the demo uses it. This test is built with AddressSanitizer (the library
// is not): a loader that frees twice, overruns a buffer through libc, or hands back a sample shorter than it
// says ends the sweep with a report, not a pass.
#include <gtest/gtest.h>

#include <allegro5/allegro.h>
#include <allegro5/allegro_acodec.h>
#include <allegro5/allegro_audio.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_ttf.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "harness.h"

// A length field set huge makes the WAV reader ask for more memory than there is. The C library answers that
// with null, which the reader handles; the sanitizer's allocator would end the process instead, so it is told
// to answer as the C library does.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the sanitizer's own hook
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}

namespace {

namespace fs = std::filesystem;

constexpr int mutants = 500; // of each file
constexpr unsigned seed = 20240605;
constexpr int font_px = -72;
constexpr int window_w = 800, window_h = 600;

struct field {
    size_t at;
    int bytes; // 2 or 4, little- or big-endian as the format has it
};

unsigned be(const std::string &b, size_t at, int bytes)
{
    unsigned v = 0;
    for (int i = 0; i < bytes; ++i) {
        v = v << 8 | static_cast<uint8_t>(b[at + i]);
    }
    return v;
}

void put(std::string &b, const field &f, uint32_t v, bool big_endian)
{
    for (int i = 0; i < f.bytes; ++i) {
        const int shift = 8 * (big_endian ? f.bytes - 1 - i : i);
        b[f.at + i] = static_cast<char>(v >> shift);
    }
}

// The fields of a TrueType file that say where things are and how many: the table count, each table's offset
// and length, and the counts and units that the glyph loader divides or indexes by.
std::vector<field> font_fields(const std::string &ttf, std::vector<std::pair<size_t, size_t>> &tables)
{
    std::vector<field> fs = {{4, 2}};
    const unsigned n = be(ttf, 4, 2);
    for (unsigned i = 0; i < n; ++i) {
        const size_t rec = 12 + 16 * i;
        const std::string tag = ttf.substr(rec, 4);
        const size_t off = be(ttf, rec + 8, 4), len = be(ttf, rec + 12, 4);
        tables.emplace_back(off, len);
        fs.push_back({rec + 8, 4});
        fs.push_back({rec + 12, 4});
        if (tag == "head") {
            fs.push_back({off + 18, 2}); // unitsPerEm
            fs.push_back({off + 50, 2}); // indexToLocFormat
        } else if (tag == "hhea") {
            fs.push_back({off + 34, 2}); // numberOfHMetrics
        } else if (tag == "maxp") {
            fs.push_back({off + 4, 2}); // numGlyphs
        } else if (tag == "cmap") {
            fs.push_back({off + 2, 2}); // numTables
            fs.push_back({off + 8, 4}); // the first subtable's offset
        }
    }
    return fs;
}

// The RIFF size, the fmt chunk's size and every field of it, and the data size.
const std::vector<field> wav_fields = {{4, 4},  {16, 4}, {20, 2}, {22, 2}, {24, 4},
                                       {28, 4}, {32, 2}, {34, 2}, {40, 4}};

// The mutants of one file, in thirds: a few bits flipped within one region (a font table, or a WAV's headers
// or body), a truncation, and one field set to an extreme.
std::vector<std::string> mutate(const std::string &good, const std::vector<field> &fields,
                                const std::vector<std::pair<size_t, size_t>> &regions, bool big_endian)
{
    static const uint32_t extremes[] = {0, 1, 0x7fff, 0x8000, 0xffff, 0x7fffffff, 0x80000000, 0xffffffff};
    std::mt19937 rng(seed); // NOLINT(cert-msc32-c,cert-msc51-cpp): the same mutants on every run
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    std::vector<std::string> out;
    for (int i = 0; i < mutants; ++i) {
        std::string m = good;
        if (i % 3 == 0) {
            const auto &r = regions[pick(regions.size())];
            const size_t len = std::min(r.second, good.size() - r.first);
            for (size_t flips = 1 + pick(8); flips > 0 && len > 0; --flips) {
                const size_t at = r.first + pick(len);
                m[at] = static_cast<char>(m[at] ^ (1 << pick(8)));
            }
        } else if (i % 3 == 1) {
            m.resize(pick(good.size()));
        } else {
            const field &f = fields[pick(fields.size())];
            put(m, f, extremes[pick(std::size(extremes))], big_endian);
        }
        out.push_back(std::move(m));
    }
    return out;
}

std::string write_mutant(const std::string &name, const std::string &bytes)
{
    fs::create_directories(MUTANTS_DIR);
    std::ofstream(MUTANTS_DIR "/" + name, std::ios::binary) << bytes;
    return MUTANTS_DIR "/" + name;
}

void init()
{
    if (al_is_system_installed()) {
        return;
    }
    // No atexit: the library's shutdown need not run when the test ends. Sound goes to OpenAL's null device:
    // nothing is played, but a sample cannot be made without the audio driver.
    setenv("ALSOFT_DRIVERS", "null", 1);
    ASSERT_TRUE(al_install_system(ALLEGRO_VERSION_INT, nullptr));
    al_set_config_value(al_get_system_config(), "audio", "driver", "openal");
    ASSERT_TRUE(al_install_audio());
    ASSERT_TRUE(al_init_font_addon() && al_init_ttf_addon() && al_init_acodec_addon());
    // Glyphs are drawn into memory bitmaps: no display needed.
    al_set_new_bitmap_flags(ALLEGRO_MEMORY_BITMAP);
}

TEST(Mutants, FontsLoadAndDrawOrFailCleanly)
{
    init();
    const std::string good = harness::read_file(PROGRAM_DIR "/Verdana.ttf");
    ASSERT_GT(good.size(), 12u);
    std::vector<std::pair<size_t, size_t>> tables;
    const std::vector<field> fields = font_fields(good, tables);
    ALLEGRO_BITMAP *frame = al_create_bitmap(window_w, window_h);
    ASSERT_TRUE(frame);
    al_set_target_bitmap(frame);
    int loaded = 0;
    const std::vector<std::string> all = mutate(good, fields, tables, true);
    for (size_t i = 0; i < all.size(); ++i) {
        const std::string path = write_mutant("mutant.ttf", all[i]);
        ALLEGRO_FONT *font = al_load_ttf_font(path.c_str(), font_px, 0);
        if (!font) {
            continue;
        }
        // As the demo draws it: every glyph of the greeting is rendered.
        ++loaded;
        const auto h = static_cast<float>(al_get_font_line_height(font));
        al_draw_multiline_text(font, al_map_rgb(255, 255, 255), window_w / 2.0f, window_h / 2.0f - h,
                               static_cast<float>(window_w), h + 10.0f, ALLEGRO_ALIGN_CENTRE,
                               "Hello Dr.\nBrackwen!");
        al_destroy_font(font);
    }
    std::cout << "[ MUTANTS  ] " << all.size() << " fonts, " << loaded << " loaded and drawn\n";
    al_destroy_bitmap(frame);
}

TEST(Mutants, ClipsLoadWholeOrFailCleanly)
{
    init();
    const std::string good = harness::read_file(PROGRAM_DIR "/Sensors7secs.wav");
    ASSERT_GT(good.size(), 44u);
    const std::vector<std::pair<size_t, size_t>> regions = {{0, 44}, {44, good.size() - 44}};
    int loaded = 0;
    unsigned sum = 0;
    const std::vector<std::string> all = mutate(good, wav_fields, regions, false);
    for (size_t i = 0; i < all.size(); ++i) {
        const std::string path = write_mutant("mutant.wav", all[i]);
        ALLEGRO_SAMPLE *s = al_load_sample(path.c_str());
        if (!s) {
            continue;
        }
        // Every byte the sample says it holds is read here, in instrumented code: a sample longer than its
        // buffer is an overrun report.
        ++loaded;
        const size_t bytes = static_cast<size_t>(al_get_sample_length(s)) *
                             al_get_channel_count(al_get_sample_channels(s)) *
                             al_get_audio_depth_size(al_get_sample_depth(s));
        const auto *data = static_cast<const uint8_t *>(al_get_sample_data(s));
        for (size_t b = 0; b < bytes; b += 4096) {
            sum += data[b];
        }
        if (bytes > 0) {
            sum += data[bytes - 1];
        }
        EXPECT_GT(al_get_sample_frequency(s), 0u) << "mutant " << i;
        al_destroy_sample(s);
    }
    std::cout << "[ MUTANTS  ] " << all.size() << " clips, " << loaded << " loaded and read whole (checksum "
              << sum << ")\n";
}

} // namespace
