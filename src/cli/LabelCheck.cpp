#include "LabelCheck.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "ImageIOCommon.h"

namespace regionfeat {

using namespace detail;

namespace {

// Bounding box of one label number; minX > maxX while the label has no pixel.
struct Box {
    uint32_t minX = std::numeric_limits<uint32_t>::max(), maxX = 0;
    uint32_t minY = std::numeric_limits<uint32_t>::max(), maxY = 0;
};

constexpr uint64_t kSparseFactor = 16;      // warn above this many times the image
constexpr double kLabelEnd = 4294967296.0;  // 2^32: labels are 1 .. 2^32 - 1
constexpr double kExactEnd = 16777216.0;    // 2^24: every whole number up to it is a float

std::string Position(int64_t x, int64_t y, int64_t z, int64_t depth) {
    std::string s(1, '(');
    s += std::to_string(x);
    s += ", ";
    s += std::to_string(y);
    if (depth > 1) {
        s += ", ";
        s += std::to_string(z);
    }
    s += ')';
    return s;
}

std::string Shortest(double v) {
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, res.ptr);
}

template <class T>
std::string StoredText(T v) {
    if constexpr (std::is_integral_v<T>)
        return std::to_string(v);
    else
        return Shortest(ToDouble(v));
}

}  // namespace

struct LabelScan::State {
    State(SampleType t, int64_t w, int64_t h, int64_t d, bool n) : type(t), width(w), height(h), depth(d), native(n) {}

    SampleType type;
    int64_t width, height, depth;
    bool native;
    int64_t x = 0, y = 0, z = 0;  // position of the next sample
    uint64_t nonWhole = 0, inexact = 0;
    std::string firstNonWhole, firstInexact;
    std::vector<Box> boxes;
    uint64_t boxLimit = 0;
    bool boxesKept = true;

    // A run of `count` equal samples v from (x0, y, z) to (x1, y, z).
    template <class T>
    void Run(T v, int64_t x0, int64_t x1, uint64_t count) {
        // Only these hold whole numbers that conversion to float may change.
        constexpr bool kMayBeInexact = (std::is_integral_v<T> && sizeof(T) >= 4) || std::is_same_v<T, double>;
        const float f = ToFloat(v);
        if constexpr (kMayBeInexact) {
            // A stored label (below 2^32) that the float changes; it may even
            // round up to 2^32 and so become background.
            const double d = ToDouble(v);
            if (!native && d > kExactEnd && d < kLabelEnd) {
                const long double stored = static_cast<long double>(v);
                if (stored == std::trunc(stored) && static_cast<long double>(f) != stored) {
                    if (inexact == 0)
                        firstInexact = StoredText(v) + " at " + Position(x0, y, z, depth) + ", becomes " +
                                       Shortest(static_cast<double>(f));
                    inexact += count;
                }
            }
        }
        // The value the node reads: the float, or the stored integer.
        const double seen = native ? ToDouble(v) : static_cast<double>(f);
        if (!(seen >= 1.0 && seen < kLabelEnd)) return;  // background, NaN included
        if (seen != std::trunc(seen)) {
            if (nonWhole == 0) firstNonWhole = Shortest(seen) + " at " + Position(x0, y, z, depth);
            nonWhole += count;
        }
        if (!boxesKept) return;
        const auto label = static_cast<uint64_t>(seen);
        if (label > boxLimit) {
            boxesKept = false;
            std::vector<Box>().swap(boxes);
            return;
        }
        if (label > boxes.size())
            boxes.resize(std::min<uint64_t>(std::max<uint64_t>(label, 2 * boxes.size()), boxLimit));
        Box& b = boxes[label - 1];
        b.minX = std::min(b.minX, static_cast<uint32_t>(x0));
        b.maxX = std::max(b.maxX, static_cast<uint32_t>(x1));
        b.minY = std::min(b.minY, static_cast<uint32_t>(y));
        b.maxY = std::max(b.maxY, static_cast<uint32_t>(y));
    }

    // n samples of one row from (x, y, z) on. Equal neighbours (the same
    // stored bits) are taken as one run: labels come in runs along rows.
    template <class T>
    void Row(const unsigned char* src, std::size_t n) {
        auto at = [&](std::size_t i) {
            T v;
            std::memcpy(&v, src + i * sizeof(T), sizeof(T));
            return v;
        };
        std::size_t j = 0;
        while (j < n) {
            const T v = at(j);
            // Background float labels are by far the most common pixels: they
            // skip the checks (NaN and values below 1 raise nothing).
            if constexpr (std::is_same_v<T, float>) {
                if (!(v >= 1.0f)) {
                    ++j;
                    // Eight at a time while all are background (a loop the
                    // compiler turns into vector compares).
                    while (j + 8 <= n) {
                        float block[8];
                        std::memcpy(block, src + j * sizeof(float), sizeof block);
                        bool any = false;
                        for (float b : block) any |= b >= 1.0f;
                        if (any) break;
                        j += 8;
                    }
                    continue;
                }
            }
            std::size_t k = j + 1;
            while (k < n && std::memcmp(src + k * sizeof(T), src + j * sizeof(T), sizeof(T)) == 0) ++k;
            Run(v, x + static_cast<int64_t>(j), x + static_cast<int64_t>(k) - 1, k - j);
            j = k;
        }
    }

    template <class T>
    void Samples(const unsigned char* src, std::size_t count) {
        while (count > 0) {
            const std::size_t n = std::min<std::size_t>(count, static_cast<std::size_t>(width - x));
            Row<T>(src, n);
            src += n * sizeof(T);
            count -= n;
            x += static_cast<int64_t>(n);
            if (x < width) continue;
            x = 0;
            if (++y < height) continue;
            y = 0;
            ++z;
        }
    }
};

LabelScan::LabelScan(SampleType type, int64_t width, int64_t height, int64_t depth, bool native)
    : m(std::make_unique<State>(type, width, height, depth, native)) {
    const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * static_cast<uint64_t>(depth);
    m->boxLimit = std::max<uint64_t>(uint64_t{1} << 20, pixels / 4);
}

LabelScan::~LabelScan() = default;

void LabelScan::Add(const void* samples, std::size_t count) {
    const auto* src = static_cast<const unsigned char*>(samples);
    Dispatch(m->type, [&](auto v) { m->Samples<decltype(v)>(src, count); });
}

std::vector<std::string> LabelScan::Warnings() const {
    const State& scan = *m;
    std::vector<std::string> warnings;
    if (scan.nonWhole)
        warnings.push_back(std::to_string(scan.nonWhole) +
                           " label pixels are not whole numbers (the first: " + scan.firstNonWhole +
                           "); the region table counts such a pixel in the label it truncates to, but nodes that "
                           "build a region mask compare pixel == label and leave it out of the mask");
    if (scan.inexact)
        warnings.push_back(std::to_string(scan.inexact) +
                           " label pixels hold whole numbers above 16777216 that a float cannot hold exactly (the "
                           "first: " +
                           scan.firstInexact + "); labels that become equal as floats merge into one region");
    if (scan.boxesKept) {
        const uint64_t plane = static_cast<uint64_t>(scan.width) * static_cast<uint64_t>(scan.height);
        uint64_t covered = 0;
        for (const Box& b : scan.boxes) {
            if (b.minX > b.maxX) continue;
            const uint64_t area = uint64_t{b.maxX - b.minX + 1} * (b.maxY - b.minY + 1);
            covered = area > std::numeric_limits<uint64_t>::max() - covered ? std::numeric_limits<uint64_t>::max()
                                                                            : covered + area;
        }
        if (plane && static_cast<unsigned __int128>(covered) > static_cast<unsigned __int128>(plane) * kSparseFactor)
            warnings.push_back("the regions' bounding boxes cover " + std::to_string(covered) + " pixels, " +
                               std::to_string(covered / plane) +
                               " times the image: nodes that work per box will take long");
    }
    return warnings;
}

std::vector<std::string> LabelWarnings(const Raster& labels, bool native) {
    LabelScan scan(labels.type, labels.width, labels.height, labels.depth, native);
    scan.Add(labels.bytes.data(), static_cast<std::size_t>(labels.Count()));
    return scan.Warnings();
}

}  // namespace regionfeat
