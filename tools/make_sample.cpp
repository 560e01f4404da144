// Regenerates the bundled sample: a 128 x 128 grey-value image of textured,
// blob-like cells (samples/cells_grey.tif, 32-bit float, grey values 0..255)
// and its label image (samples/cells_labels.tif, 16-bit unsigned, labels 1..8
// as a segmentation tool would write them).
//
// Usage: make_sample [output directory, default "samples"]
//
// Only integer arithmetic and exact float operations are used, so every
// machine writes the same bytes.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>

#include "TiffIO.h"

namespace {

constexpr int kSize = 128;

// A well-mixed hash of a pixel position and a seed.
uint32_t Hash(uint32_t x, uint32_t y, uint32_t seed) {
    uint32_t h = x * 0x9E3779B1u ^ (y + 0x7F4A7C15u) * 0x85EBCA77u ^ seed * 0xC2B2AE3Du;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    h *= 0x297A2D39u;
    h ^= h >> 15;
    return h;
}

// Smooth noise in [0, 255]: the mean of a 3 x 3 neighbourhood of hashes.
int SmoothNoise(int x, int y, uint32_t seed) {
    int sum = 0;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
            sum += static_cast<int>(Hash(static_cast<uint32_t>(x + dx + 4), static_cast<uint32_t>(y + dy + 4), seed) &
                                    255u);
    return sum / 9;
}

// A cell: two overlapping ellipses (a body and a lobe), each given by centre,
// half axes and a rotation whose cosine and sine are exact (Pythagorean) ratios.
struct Ellipse {
    int cx, cy, a, b, c5, s5;  // rotation = (c5 / 5, s5 / 5)
    bool Contains(int x, int y) const {
        // Rotated coordinates scaled by 5 to stay in integers.
        const long u = static_cast<long>(x - cx) * c5 + static_cast<long>(y - cy) * s5;
        const long v = -static_cast<long>(x - cx) * s5 + static_cast<long>(y - cy) * c5;
        return u * u * b * b + v * v * a * a <= 25L * a * a * b * b;
    }
};

struct Cell {
    Ellipse body, lobe;
    int mean;    // mean grey value
    int stripe;  // period of the texture stripes (0: speckle only)
};

const Cell kCells[] = {
    {{22, 24, 14, 10, 5, 0}, {32, 30, 7, 6, 5, 0}, 180, 6},  {{64, 20, 12, 9, 4, 3}, {56, 26, 6, 5, 5, 0}, 120, 0},
    {{104, 26, 15, 9, 3, 4}, {98, 36, 6, 6, 5, 0}, 210, 4},  {{24, 66, 10, 14, 5, 0}, {16, 74, 6, 5, 5, 0}, 95, 5},
    {{66, 64, 16, 12, 4, -3}, {78, 72, 7, 6, 5, 0}, 150, 8}, {{106, 70, 9, 13, 3, -4}, {112, 80, 5, 5, 5, 0}, 230, 0},
    {{30, 106, 15, 10, 4, 3}, {40, 98, 6, 6, 5, 0}, 140, 3}, {{88, 106, 18, 9, 5, 0}, {76, 112, 6, 5, 5, 0}, 75, 7},
};

int Clamp255(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "samples";
    using regionfeat::Raster;
    using regionfeat::SampleType;
    Raster grey(SampleType::F32, kSize, kSize, 1);
    Raster labels(SampleType::U16, kSize, kSize, 1);
    float* g = grey.As<float>();
    uint16_t* l = labels.As<uint16_t>();
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x) {
            int label = 0;
            for (int k = 0; k < static_cast<int>(std::size(kCells)); ++k)
                if (kCells[k].body.Contains(x, y) || kCells[k].lobe.Contains(x, y)) {
                    label = k + 1;
                    break;
                }
            int value = 30 + (SmoothNoise(x, y, 1) - 128) / 8;  // background
            if (label) {
                const Cell& c = kCells[label - 1];
                value = c.mean + (SmoothNoise(x, y, 2 + label) - 128) / 3;
                // Diagonal stripes: a triangle wave of the given period.
                if (c.stripe) {
                    const int phase = (x + 2 * y) % (2 * c.stripe);
                    value += 6 * (phase < c.stripe ? phase : 2 * c.stripe - phase) - 3 * c.stripe;
                }
            }
            g[y * kSize + x] = static_cast<float>(Clamp255(value));
            l[y * kSize + x] = static_cast<uint16_t>(label);
        }
    try {
        regionfeat::WriteTiff(dir + "/cells_grey.tif", grey);
        regionfeat::WriteTiff(dir + "/cells_labels.tif", labels);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        return 1;
    }
    std::printf("wrote %s/cells_grey.tif and %s/cells_labels.tif\n", dir.c_str(), dir.c_str());
    return 0;
}
