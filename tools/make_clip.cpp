// Writes the demo's sound clip: 7 s of calm sonar-like pings over a soft pad,
// 44.1 kHz 16-bit mono PCM. Deterministic, and seamless when looped: every
// sustained tone fits a whole number of cycles into the clip, and each ping has
// died away long before the end.
//
// usage: make-clip OUT.wav

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr int rate = 44100;
constexpr int seconds = 7;
constexpr int frames = rate * seconds;
constexpr double two_pi = 6.283185307179586;
constexpr double peak = 0.35; // about -9 dBFS: calm, never near clipping

// A pad tone whose frequency times the clip length is a whole number, so the
// waveform at the end runs straight into the one at the start.
struct tone {
    double hz;
    double level;
};
constexpr tone pad[] = {{110.0, 1.0}, {165.0, 0.55}, {220.0, 0.25}, {277.0 + 1.0 / 7.0, 0.12}};

struct ping {
    double at; // seconds
    double hz;
    double level;
};
// Pairs of pings, the second softer and a fifth lower, like an echo.
constexpr ping pings[] = {
    {0.25, 1318.5, 1.0}, {0.85, 880.0, 0.45}, {2.00, 1174.7, 0.8}, {2.60, 784.0, 0.35},
    {3.75, 1318.5, 0.9}, {4.35, 880.0, 0.4},  {5.15, 1568.0, 0.6}, {5.45, 1046.5, 0.3},
};
constexpr double ping_attack = 0.008; // seconds: soft enough that no onset clicks
constexpr double ping_decay = 0.22;   // seconds per 1/e

double sample_at(double t)
{
    // The pad breathes once per clip, so its swell also loops seamlessly.
    const double swell = 0.75 + 0.25 * std::sin(two_pi * t / seconds);
    double pad_sum = 0.0;
    for (const tone &p : pad) {
        pad_sum += p.level * std::sin(two_pi * p.hz * t);
    }
    double ping_sum = 0.0;
    for (const ping &p : pings) {
        const double dt = t - p.at;
        if (dt < 0.0) {
            continue;
        }
        const double env = std::fmin(dt / ping_attack, 1.0) * std::exp(-dt / ping_decay);
        // A slight downward glide makes a ping sound like a reflection, not a beep.
        const double phase = two_pi * p.hz * (dt - 0.04 * dt * dt);
        ping_sum += p.level * env * (std::sin(phase) + 0.2 * std::sin(2.0 * phase));
    }
    return 0.12 * swell * pad_sum + 0.5 * ping_sum;
}

void put_u32(std::FILE *f, uint32_t v)
{
    const unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
    (void)std::fwrite(b, 1, 4, f); // a failed write stays on the stream: checked once, at the end
}

void put_u16(std::FILE *f, uint16_t v)
{
    const unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
    (void)std::fwrite(b, 1, 2, f); // as above
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        (void)std::fprintf(stderr, "usage: make-clip OUT.wav\n");
        return 2;
    }

    std::vector<double> wave(frames);
    double loudest = 0.0;
    for (int i = 0; i < frames; ++i) {
        wave[i] = sample_at(static_cast<double>(i) / rate);
        loudest = std::fmax(loudest, std::fabs(wave[i]));
    }

    std::FILE *f = std::fopen(argv[1], "wb");
    if (!f) {
        std::perror(argv[1]);
        return 1;
    }
    const uint32_t data_bytes = frames * 2;
    (void)std::fwrite("RIFF", 1, 4, f);
    put_u32(f, 36 + data_bytes);
    (void)std::fwrite("WAVEfmt ", 1, 8, f);
    put_u32(f, 16); // fmt chunk size
    put_u16(f, 1);  // PCM
    put_u16(f, 1);  // mono
    put_u32(f, rate);
    put_u32(f, rate * 2); // bytes per second
    put_u16(f, 2);        // bytes per frame
    put_u16(f, 16);       // bits per sample
    (void)std::fwrite("data", 1, 4, f);
    put_u32(f, data_bytes);
    for (double v : wave) {
        put_u16(f, static_cast<uint16_t>(static_cast<int16_t>(std::lround(v / loudest * peak * 32767.0))));
    }
    const bool failed = std::ferror(f) != 0;
    if (std::fclose(f) != 0 || failed) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
