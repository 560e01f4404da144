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

struct Scan {
    uint64_t nonWhole = 0, inexact = 0;
    std::string firstNonWhole, firstInexact;
    std::vector<Box> boxes;
    uint64_t boxLimit = 0;
    bool boxesKept = true;
};

template <class T>
void ScanPixels(const Raster& r, bool native, Scan& scan) {
    const unsigned char* src = r.bytes.data();
    // Only these hold whole numbers that conversion to float may change.
    constexpr bool kMayBeInexact = (std::is_integral_v<T> && sizeof(T) >= 4) || std::is_same_v<T, double>;
    std::size_t i = 0;
    for (int64_t z = 0; z < r.depth; ++z)
        for (int64_t y = 0; y < r.height; ++y)
            for (int64_t x = 0; x < r.width; ++x, ++i) {
                T v;
                std::memcpy(&v, src + i * sizeof(T), sizeof(T));
                const float f = ToFloat(v);
                if constexpr (kMayBeInexact) {
                    // A stored label (below 2^32) that the float changes; it may
                    // even round up to 2^32 and so become background.
                    const double d = ToDouble(v);
                    if (!native && d > kExactEnd && d < kLabelEnd) {
                        const long double stored = static_cast<long double>(v);
                        if (stored == std::trunc(stored) && static_cast<long double>(f) != stored &&
                            scan.inexact++ == 0)
                            scan.firstInexact = StoredText(v) + " at " + Position(x, y, z, r.depth) + ", becomes " +
                                                Shortest(static_cast<double>(f));
                    }
                }
                // The value the node reads: the float, or the stored integer.
                const double seen = native ? ToDouble(v) : static_cast<double>(f);
                if (!(seen >= 1.0 && seen < kLabelEnd)) continue;  // background, NaN included
                if (seen != std::trunc(seen) && scan.nonWhole++ == 0)
                    scan.firstNonWhole = Shortest(seen) + " at " + Position(x, y, z, r.depth);
                if (!scan.boxesKept) continue;
                const auto label = static_cast<uint64_t>(seen);
                if (label > scan.boxLimit) {
                    scan.boxesKept = false;
                    std::vector<Box>().swap(scan.boxes);
                    continue;
                }
                if (label > scan.boxes.size())
                    scan.boxes.resize(
                        std::min<uint64_t>(std::max<uint64_t>(label, 2 * scan.boxes.size()), scan.boxLimit));
                Box& b = scan.boxes[label - 1];
                const auto ux = static_cast<uint32_t>(x), uy = static_cast<uint32_t>(y);
                b.minX = std::min(b.minX, ux);
                b.maxX = std::max(b.maxX, ux);
                b.minY = std::min(b.minY, uy);
                b.maxY = std::max(b.maxY, uy);
            }
}

}  // namespace

std::vector<std::string> LabelWarnings(const Raster& labels, bool native) {
    Scan scan;
    const auto pixels = static_cast<uint64_t>(labels.Count());
    scan.boxLimit = std::max<uint64_t>(uint64_t{1} << 20, pixels / 4);
    Dispatch(labels.type, [&](auto v) { ScanPixels<decltype(v)>(labels, native, scan); });

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
        const uint64_t plane = static_cast<uint64_t>(labels.width) * static_cast<uint64_t>(labels.height);
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

}  // namespace regionfeat
