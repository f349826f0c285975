// How people get the demo and see it: the headless preview that the README's run command records without a
// display, and the Debian package.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

namespace fs = std::filesystem;

constexpr double preview_seconds = 8.0;  // two pulse cycles
constexpr double preview_limit = 30.0;   // seconds the whole preview may take
constexpr uintmax_t gif_limit = 2 << 20; // bytes
constexpr double duration_tolerance = 0.3;
constexpr int some_ink = 50; // lit pixels; fewer is the pulse's collapse to nothing

using harness::q;
using harness::sh;

std::string trim(std::string s)
{
    return s.erase(s.find_last_not_of(" \n") + 1); // npos + 1: all of it
}

double duration(const std::string &media)
{
    const std::string d = sh("ffprobe -v error -show_entries format=duration -of csv=p=0 " + q(media));
    return d.empty() ? 0.0 : std::stod(d);
}

// Whether a Depends field names the package, with or without a version.
bool names(const std::string &depends, const std::string &package)
{
    std::stringstream s(depends);
    for (std::string item; std::getline(s, item, ',');) {
        const size_t begin = item.find_first_not_of(' ');
        if (begin != std::string::npos && item.substr(begin, item.find(' ', begin) - begin) == package) {
            return true;
        }
    }
    return false;
}

std::string owner(const fs::path &file)
{
    const std::string line = sh("dpkg-query -S " + q(fs::canonical(file).string()) + " 2>/dev/null");
    return line.substr(0, line.find(':'));
}

TEST(Preview, RecordsTheDemoWithoutADisplay)
{
    const std::string dir = harness::scratch("preview");
    const std::string out = dir + "/preview";

    // As a user on a machine without a display runs it: no DISPLAY, and its own HOME and temp dir. A hang
    // ends at the timeout, which the script survives long enough to stop its display and the program. In the
    // sanitizer build the library's leftovers at exit are the robustness tests' business (they name them);
    // here only the recording matters.
    const char *asan = std::getenv("ASAN_OPTIONS");
    const std::string sanitizer = asan ? " ASAN_OPTIONS=" + q(std::string(asan) + ":detect_leaks=0") : "";
    const double begin = harness::now();
    int status = -1;
    const std::string log =
        sh("cd " + q(dir) + " && env -i PATH=/usr/bin:/bin" + sanitizer + " HOME=" + q(dir + "/home") +
               " TMPDIR=" + q(dir + "/tmp") + " timeout -k 5 90 " + q(SOURCE_DIR "/scripts/preview") +
               " --out " + q(out) + " --program " + q(dir + "/app/hello-pulse") + " 2>&1",
           &status);
    const double took = harness::now() - begin;
    ASSERT_EQ(status, 0) << log;
    EXPECT_LT(took, preview_limit) << log;
    EXPECT_NE(log.find("hello-pulse ended with status 0"), std::string::npos) << log;
    for (const char *ext : {"gif", "webm", "wav"}) {
        EXPECT_NE(log.find(out + "/hello-pulse." + ext), std::string::npos) << ext << " not reported:\n"
                                                                            << log;
    }

    // The GIF: small enough for a README, looping forever, two pulse cycles, every frame red and white on
    // black.
    const std::string gif = out + "/hello-pulse.gif";
    ASSERT_TRUE(fs::exists(gif));
    EXPECT_LE(fs::file_size(gif), gif_limit);
    EXPECT_NE(harness::read_file(gif).find(std::string("NETSCAPE2.0\x03\x01\x00\x00", 15)), std::string::npos)
        << "the GIF does not loop";
    EXPECT_NEAR(duration(gif), preview_seconds, duration_tolerance);
    const std::vector<harness::image> frames = harness::decode(gif);
    ASSERT_FALSE(frames.empty()) << "no frames decoded from " << gif;
    EXPECT_EQ(frames[0].w, 800);
    EXPECT_EQ(frames[0].h, 600);
    std::set<size_t> distinct;
    size_t showing = 0, saved = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        const harness::image &im = frames[i];
        std::string bytes(reinterpret_cast<const char *>(im.px.data()), im.px.size() * sizeof(harness::rgb));
        distinct.insert(std::hash<std::string>{}(bytes));
        const auto off_palette =
            std::count_if(im.px.begin(), im.px.end(), [](auto p) { return !harness::palette(p); });
        const int lit = harness::bounds(im, harness::lit).count;
        const bool both =
            harness::bounds(im, harness::red).count > 0 && harness::bounds(im, harness::white).count > 0;
        showing += both;
        const bool good = off_palette == 0 && lit * 2 < im.w * im.h && (both || lit < some_ink);
        EXPECT_EQ(off_palette, 0) << "frame " << i
                                  << ": colours other than black, red, white and their blends";
        EXPECT_LT(lit * 2, im.w * im.h) << "frame " << i << ": not on black";
        EXPECT_TRUE(both || lit < some_ink) << "frame " << i << ": shows the greeting without red and white";
        if (!good && saved++ < 3) {
            harness::save_png(im, "preview-" + std::to_string(i));
        }
    }
    EXPECT_GE(distinct.size(), 4u);
    // Only the pulse's few frames near nothing show neither colour.
    EXPECT_GE(showing * 10, frames.size() * 9) << showing << " of " << frames.size() << " show red and white";

    // The sound: the clip as the demo plays it, for about the same eight seconds, in a file whose header any
    // player reads (the sink's own is unfinished).
    const std::string wav = out + "/hello-pulse.wav";
    // Plain 16-bit stereo after a 44-byte header, whose data size is the rest of the file.
    const std::string samples = sh("ffprobe -v error -show_entries stream=duration_ts -of csv=p=0 " + q(wav));
    EXPECT_EQ(std::strtoull(samples.c_str(), nullptr, 10) * 4 + 44, fs::file_size(wav))
        << "its header's sizes";
    EXPECT_NEAR(harness::heard(wav).seconds, preview_seconds, duration_tolerance);
    harness::expect_clip(wav, preview_seconds - duration_tolerance, "the preview");

    // The video: the window and the sound together.
    const std::string webm = out + "/hello-pulse.webm";
    const std::string streams =
        sh("ffprobe -v error -show_entries stream=codec_type,width,height -of csv=p=0 " + q(webm));
    EXPECT_NE(streams.find("video,800,600"), std::string::npos) << streams;
    EXPECT_NE(streams.find("audio"), std::string::npos) << streams;
    EXPECT_NEAR(duration(webm), preview_seconds, duration_tolerance);
}

TEST(Package, InstallsWhereDebianWantsAndRunsFromAnywhere)
{
    const std::string dir = harness::scratch("package");
    int status = -1;
    const std::string log = sh(q(CPACK_COMMAND) + " -G DEB --config " + q(PROGRAM_DIR "/CPackConfig.cmake") +
                                   " -B " + q(dir + "/pkg") + " 2>&1",
                               &status);
    ASSERT_EQ(status, 0) << log;
    const std::string deb =
        dir + "/pkg/hello-pulse_" PROJECT_VERSION "_" + trim(sh("dpkg --print-architecture")) + ".deb";
    ASSERT_TRUE(fs::exists(deb)) << log;

    // Depends names the packages of the Allegro libraries the program really loads, and of the font its
    // Verdana.ttf leads to.
    const std::string depends = trim(sh("dpkg-deb -f " + q(deb) + " Depends"));
    std::stringstream libs(sh("ldd " + q(PROGRAM_DIR "/hello-pulse")));
    int allegro = 0;
    for (std::string line; std::getline(libs, line);) {
        const size_t arrow = line.find("=> ");
        if (line.find("liballegro") == std::string::npos || arrow == std::string::npos) {
            continue;
        }
        const std::string lib = line.substr(arrow + 3, line.find(' ', arrow + 3) - arrow - 3);
        const std::string pkg = owner(lib);
        ++allegro;
        EXPECT_TRUE(!pkg.empty() && names(depends, pkg))
            << lib << " (" << pkg << ") missing from: " << depends;
    }
    EXPECT_GE(allegro, 6) << "the program links fewer Allegro libraries than expected";
    EXPECT_TRUE(names(depends, owner(FONT_PATH))) << depends;

    const std::string root = dir + "/root";
    const std::string unpack = "dpkg -x " + q(deb) + " " + q(root);
    ASSERT_EQ(std::system(unpack.c_str()), 0); // NOLINT(cert-env33-c): quoted paths
    const fs::path libdir = fs::path(root) / "usr/lib/games/hello-pulse";
    struct entry {
        std::string path, link; // link: the symlink's target; empty for a plain file
    };
    const entry layout[] = {
        {"usr/games/hello-pulse", "../lib/games/hello-pulse/hello-pulse"},
        {"usr/lib/games/hello-pulse/hello-pulse", ""},
        {"usr/lib/games/hello-pulse/Sensors7secs.wav", "../../../share/games/hello-pulse/Sensors7secs.wav"},
        {"usr/share/games/hello-pulse/Sensors7secs.wav", ""},
        {"usr/lib/games/hello-pulse/Verdana.ttf",
         fs::path(FONT_PATH).lexically_relative("/usr/lib/games/hello-pulse").string()},
        {"usr/share/applications/hello-pulse.desktop", ""},
        {"usr/share/man/man6/hello-pulse.6.gz", ""},
        {"usr/share/doc/hello-pulse/copyright", ""},
        {"usr/share/doc/hello-pulse/changelog.gz", ""},
    };
    for (const entry &e : layout) {
        const fs::path p = fs::path(root) / e.path;
        if (e.link.empty()) {
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(p))) << e.path;
        } else {
            std::error_code ec;
            EXPECT_EQ(fs::read_symlink(p, ec).string(), e.link) << e.path;
        }
    }
    // Nothing else beside the program: the library would read an allegro5.cfg there.
    EXPECT_EQ(harness::listing(libdir.string()),
              (std::vector<std::string>{"Sensors7secs.wav", "Verdana.ttf", "hello-pulse"}));
    for (const auto &f : fs::recursive_directory_iterator(root)) {
        EXPECT_NE(f.path().filename(), "allegro5.cfg") << f.path();
    }
    const std::string probe = "ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 ";
    // NOLINTBEGIN(performance-inefficient-string-concatenation): six short paths
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        const std::string n = std::to_string(size), icons = "/usr/share/icons/hicolor/" + n + "x" + n;
        EXPECT_EQ(trim(sh(probe + q(root + icons + "/apps/hello-pulse.png"))), "png," + n + "," + n);
    }
    // NOLINTEND(performance-inefficient-string-concatenation)

    // Debian's checker, the software centres' and the menus' find nothing amiss; a hardened build's program
    // is hardened, and the menu starts it by a path the package holds.
    const std::string share = root + "/usr/share/", desktop = share + "applications/hello-pulse.desktop";
    const std::string lint =
        sh("lintian --fail-on error,warning " + q(deb) + " && appstreamcli validate --pedantic --no-net " +
               q(share) + "metainfo/*.xml && desktop-file-validate " + q(desktop) + " && " +
               std::string(HARDENING_CHECK) + " " + q(libdir.string() + "/hello-pulse") + " 2>&1",
           &status);
    EXPECT_EQ(status, 0) << lint;
    const std::string exec = trim(sh("sed -n 's/^Exec=//p' " + q(desktop)));
    EXPECT_TRUE(exec[0] == '/' && fs::exists(root + exec)) << exec;

    // Run as installed, through the link on PATH, from another directory. The font package it depends on is
    // the system's own.
    fs::create_directory_symlink("/usr/share/fonts", fs::path(root) / "usr/share/fonts");
    harness::run_options opt;
    opt.program = root + "/usr/games/hello-pulse";
    harness::demo d = harness::start(dir, opt);
    EXPECT_TRUE(harness::wait_running(d)) << "no frame on screen";
    std::error_code ec;
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(d.pid) + "/cwd", ec), libdir);
    harness::nap(1.0); // a second of sound for the sink
    harness::key(d, "Escape", true);
    harness::expect_end(d, false, 0, "", "the installed demo");
    harness::expect_clip(dir + "/sink.wav", 0.5, "the installed demo");
}

} // namespace
