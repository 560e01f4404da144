#include "TiffIO.h"

#include <sys/stat.h>
#include <tiffio.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <tuple>
#include <vector>

#include "ImageIOCommon.h"

namespace regionfeat {

using namespace detail;

namespace {

// libtiff reports through global handlers that print to stderr by default. The
// first error of an operation is kept for the message; warnings are dropped.
thread_local std::string t_tiffError;

void TiffErrorHandler(const char* module, const char* fmt, va_list ap) {
    if (!t_tiffError.empty()) return;
    char buf[512];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    t_tiffError = module && *module ? std::string(module) + ": " + buf : std::string(buf);
}

void TiffWarningHandler(const char*, const char*, va_list) {}

void PrepareTiff() {
    static const bool installed = [] {
        TIFFSetErrorHandler(TiffErrorHandler);
        TIFFSetWarningHandler(TiffWarningHandler);
        return true;
    }();
    (void)installed;
    t_tiffError.clear();
}

std::string TiffDetail() { return t_tiffError.empty() ? std::string() : " (" + t_tiffError + ")"; }

// A failure of libtiff: its own allocation failures are the memory running
// out like any other, the rest is the file's fault.
[[noreturn]] void FailTiff(const std::string& path, const std::string& problem) {
    if (t_tiffError.find("Out of memory") != std::string::npos ||
        t_tiffError.find("Failed to allocate memory") != std::string::npos)
        throw std::bad_alloc();
    Fail(path, problem + TiffDetail());
}

struct TiffCloser {
    void operator()(TIFF* t) const {
        if (t) TIFFClose(t);
    }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

// A row or tile buffer is allocated before its data are read; a damaged header
// must not make it absurdly large. 1 GiB is far beyond any real image's row or
// tile.
constexpr uint64_t kMaxBuffer = uint64_t{1} << 30;

// libtiff's own allocations (offset tables, compressed strips) are justified
// by the file's size; beyond that, and beyond the largest row or tile buffer,
// an allocation can only come from a header that declares more than the file
// holds.
TiffPtr OpenForReading(const std::string& path, uint64_t fileSize) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options) throw std::bad_alloc();
    const uint64_t cap = std::max(kMaxBuffer, std::min<uint64_t>(fileSize, uint64_t{1} << 60) * 4);
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, static_cast<tmsize_t>(cap));
    TiffPtr tif(TIFFOpenExt(path.c_str(), "r", options));
    TIFFOpenOptionsFree(options);
    if (!tif) FailTiff(path, "cannot read as TIFF");
    return tif;
}

std::optional<SampleType> TiffSampleType(uint16_t bits, uint16_t format) {
    if (format == SAMPLEFORMAT_UINT) {
        switch (bits) {
            case 1: return SampleType::Bool;
            case 8: return SampleType::U8;
            case 16: return SampleType::U16;
            case 32: return SampleType::U32;
        }
    } else if (format == SAMPLEFORMAT_INT) {
        switch (bits) {
            case 8: return SampleType::I8;
            case 16: return SampleType::I16;
            case 32: return SampleType::I32;
        }
    } else if (format == SAMPLEFORMAT_IEEEFP) {
        switch (bits) {
            case 32: return SampleType::F32;
            case 64: return SampleType::F64;
        }
    }
    return std::nullopt;
}

std::string TiffFormatName(uint16_t format) {
    switch (format) {
        case SAMPLEFORMAT_UINT: return "unsigned integer";
        case SAMPLEFORMAT_INT: return "signed integer";
        case SAMPLEFORMAT_IEEEFP: return "float";
        case SAMPLEFORMAT_COMPLEXINT: return "complex integer";
        case SAMPLEFORMAT_COMPLEXIEEEFP: return "complex float";
        default: return "sample format " + std::to_string(format);
    }
}

std::string PageName(int page) { return "page " + std::to_string(page); }

// A reduced-resolution page (a preview) is not a plane of the image.
bool IsPreview(TIFF* t) {
    uint32_t subfile = 0;
    return TIFFGetField(t, TIFFTAG_SUBFILETYPE, &subfile) && (subfile & FILETYPE_REDUCEDIMAGE);
}

struct PageFormat {
    uint32_t width = 0, height = 0;
    uint16_t bits = 0;
    SampleType type = SampleType::U8;
};

PageFormat ReadPageFormat(TIFF* t, const std::string& path, int page) {
    PageFormat f;
    if (!TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &f.width) || !TIFFGetField(t, TIFFTAG_IMAGELENGTH, &f.height))
        FailTiff(path, PageName(page) + " has no image size");
    if (f.width == 0 || f.height == 0) Fail(path, PageName(page) + " has no pixels");
    uint16_t spp = 1, format = SAMPLEFORMAT_UINT;
    f.bits = 1;
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &f.bits);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &format);
    if (spp != 1)
        Fail(path, PageName(page) + " has " + std::to_string(spp) +
                       " samples per pixel (colour or alpha); only grey images are read");
    const auto type = TiffSampleType(f.bits, format);
    if (!type)
        Fail(path, PageName(page) + ": " + std::to_string(f.bits) + "-bit " + TiffFormatName(format) +
                       " samples are not supported");
    f.type = *type;
    return f;
}

// Where a strip or tile lies in the file.
struct Chunk {
    uint64_t begin, end;
    uint32_t page, index;
    bool tiled;
};

std::string ChunkName(const Chunk& c) {
    return PageName(static_cast<int>(c.page)) + (c.tiled ? " tile " : " strip ") + std::to_string(c.index);
}

// Adds the strips or tiles of the current page to chunks after checking that
// each lies within the file and, when uncompressed, holds the bytes it must.
void CollectChunks(TIFF* t, const std::string& path, int page, const PageFormat& f, uint64_t fileSize,
                   std::vector<Chunk>& chunks) {
    const bool tiled = TIFFIsTiled(t);
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &compression);
    uint32_t rowsPerStrip = 0;
    TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
    if (rowsPerStrip == 0 || rowsPerStrip > f.height) rowsPerStrip = f.height;
    const uint32_t n = tiled ? TIFFNumberOfTiles(t) : TIFFNumberOfStrips(t);
    if (n == 0) FailTiff(path, PageName(page) + " has no " + (tiled ? "tiles" : "strips"));
    for (uint32_t i = 0; i < n; ++i) {
        const Chunk named{0, 0, static_cast<uint32_t>(page), i, tiled};
        int error = 0;
        const uint64_t offset = TIFFGetStrileOffsetWithErr(t, i, &error);
        const uint64_t count = TIFFGetStrileByteCountWithErr(t, i, &error);
        if (error) FailTiff(path, ChunkName(named) + ": no offset or byte count");
        if (count == 0) Fail(path, ChunkName(named) + " holds no data");
        if (count > fileSize || offset > fileSize - count)
            Fail(path, ChunkName(named) + " lies beyond the end of the file (bytes " + std::to_string(offset) + " to " +
                           std::to_string(offset + count) + " of " + std::to_string(fileSize) + ")");
        if (compression == COMPRESSION_NONE) {
            uint64_t needed = 0;
            if (tiled) {
                needed = TIFFTileSize64(t);
            } else {
                const uint64_t first =
                    static_cast<uint64_t>(i % ((f.height + rowsPerStrip - 1) / rowsPerStrip)) * rowsPerStrip;
                needed = TIFFVStripSize64(t, static_cast<uint32_t>(std::min<uint64_t>(rowsPerStrip, f.height - first)));
            }
            if (count < needed)
                Fail(path, ChunkName(named) + " holds " + std::to_string(count) + " bytes; uncompressed it needs " +
                               std::to_string(needed));
        }
        chunks.push_back({offset, offset + count, static_cast<uint32_t>(page), i, tiled});
    }
}

// Two strips or tiles that share bytes of the file would let a small file
// declare one block of data again and again; real files never do this.
void CheckDistinct(const std::string& path, std::vector<Chunk>& chunks) {
    std::sort(chunks.begin(), chunks.end(), [](const Chunk& a, const Chunk& b) {
        return std::tie(a.begin, a.page, a.index) < std::tie(b.begin, b.page, b.index);
    });
    // Sorted by their start, two chunks overlap only if some neighbours do.
    for (std::size_t i = 1; i < chunks.size(); ++i)
        if (chunks[i].begin < chunks[i - 1].end)
            Fail(path, ChunkName(chunks[i]) + " and " + ChunkName(chunks[i - 1]) +
                           " share bytes of the file: the file holds less data than it declares");
}

// Hands one page of w x h samples to sink, in row order. Uncompressed strips
// of whole bytes are read with pread straight into the sink's room (the node's
// pixel array when no conversion is needed); other strips row by row through
// libtiff, tiles a row of tiles at a time, so that compressed data cost
// memory only as they expand.
void ReadTiffPage(TIFF* t, const std::string& path, int page, const PageFormat& f, SampleSink& sink) {
    const uint32_t w = f.width, h = f.height;
    const std::size_t elem = SampleSize(f.type);
    const std::size_t rowBytes = static_cast<std::size_t>(w) * elem;
    const std::string where = PageName(page) + ": ";
    if (static_cast<uint64_t>(w) * elem > kMaxBuffer)
        Fail(path, where + "rows of " + std::to_string(w) + " pixels are too long");
    uint16_t compression = COMPRESSION_NONE, fillOrder = FILLORDER_MSB2LSB;
    TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(t, TIFFTAG_FILLORDER, &fillOrder);
    // Stored bytes are the samples themselves, up to their byte order.
    const bool raw = compression == COMPRESSION_NONE && f.bits >= 8 && fillOrder == FILLORDER_MSB2LSB;
    const bool swap = TIFFIsByteSwapped(t) != 0;
    if (TIFFIsTiled(t)) {
        if (f.bits == 1) Fail(path, where + "tiled 1-bit TIFF is not supported");
        uint32_t tw = 0, th = 0;
        if (!TIFFGetField(t, TIFFTAG_TILEWIDTH, &tw) || !TIFFGetField(t, TIFFTAG_TILELENGTH, &th) || tw == 0 || th == 0)
            FailTiff(path, where + "tiled TIFF without tile size");
        const tmsize_t tileSize = TIFFTileSize(t);
        if (static_cast<uint64_t>(tileSize) > kMaxBuffer) Fail(path, where + "tiles are too large");
        if (tileSize <= 0 || static_cast<uint64_t>(tileSize) < static_cast<uint64_t>(tw) * th * elem)
            FailTiff(path, where + "inconsistent tile size");
        // Not cleared: a compressed tile costs memory only as far as its data
        // decode (a tile of 1 GiB may be declared by a file of a few bytes).
        const std::unique_ptr<unsigned char[]> tile(new unsigned char[static_cast<std::size_t>(tileSize)]);
        for (uint32_t ty = 0; ty < h; ty += th) {
            const uint32_t rows = std::min(th, h - ty);
            auto* band = static_cast<unsigned char*>(sink.Room(static_cast<std::size_t>(rows) * w));
            for (uint32_t tx = 0; tx < w; tx += tw) {
                bool ok = false;
                if (raw) {
                    // The offsets were checked against the file and each other before.
                    const uint64_t offset = TIFFGetStrileOffset(t, TIFFComputeTile(t, tx, ty, 0, 0));
                    ok = ReadAt(TIFFFileno(t), tile.get(), static_cast<std::size_t>(tw) * th * elem, offset);
                } else {
                    ok = TIFFReadTile(t, tile.get(), tx, ty, 0, 0) >= 0;
                }
                if (!ok)
                    FailTiff(path, where + "cannot read the tile at (" + std::to_string(tx) + ", " +
                                       std::to_string(ty) + ")");
                const std::size_t cols = std::min(tw, w - tx);
                for (uint32_t r = 0; r < rows; ++r)
                    std::memcpy(band + r * rowBytes + tx * elem, tile.get() + static_cast<std::size_t>(r) * tw * elem,
                                cols * elem);
            }
            if (raw && swap) SwapSamples(band, static_cast<std::size_t>(rows) * w, elem);
            sink.Filled(static_cast<std::size_t>(rows) * w);
        }
        return;
    }
    if (raw) {
        uint32_t rowsPerStrip = 0;
        TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
        if (rowsPerStrip == 0 || rowsPerStrip > h) rowsPerStrip = h;
        const uint32_t strips = (h + rowsPerStrip - 1) / rowsPerStrip;
        if (TIFFNumberOfStrips(t) < strips) FailTiff(path, where + "fewer strips than rows need");
        for (uint32_t i = 0; i < strips; ++i) {
            // Each strip was checked to lie in the file and to hold its rows.
            const uint32_t rows = std::min(rowsPerStrip, h - i * rowsPerStrip);
            ReadSamplesAt(path, TIFFFileno(t), TIFFGetStrileOffset(t, i), static_cast<std::size_t>(rows) * w, elem,
                          swap, sink, where + "cannot read strip " + std::to_string(i));
        }
        return;
    }
    const std::size_t storedRow = f.bits == 1 ? (static_cast<std::size_t>(w) + 7) / 8 : rowBytes;
    const tmsize_t lineSize = TIFFScanlineSize(t);
    if (lineSize <= 0 || static_cast<std::size_t>(lineSize) < storedRow)
        FailTiff(path, where + "inconsistent row size");
    std::vector<unsigned char> line(static_cast<std::size_t>(lineSize));
    for (uint32_t row = 0; row < h; ++row) {
        if (TIFFReadScanline(t, line.data(), row, 0) < 0)
            FailTiff(path, where + "cannot read row " + std::to_string(row));
        auto* dst = static_cast<unsigned char*>(sink.Room(w));
        if (f.bits == 1) {
            for (uint32_t x = 0; x < w; ++x) dst[x] = (line[x >> 3] >> (7 - (x & 7))) & 1u;
        } else {
            std::memcpy(dst, line.data(), rowBytes);
        }
        sink.Filled(w);
    }
}

void CheckWritable(const std::string& path, const Raster& r) {
    if (r.width <= 0 || r.height <= 0 || r.depth <= 0) Fail(path, "cannot write an image without pixels");
    if (r.bytes.size() != static_cast<std::size_t>(r.Count()) * SampleSize(r.type))
        Fail(path, "pixel data do not match the image extents");
}

}  // namespace

Raster ReadTiff(const std::string& path, const ReadLimits& limits) {
    return ReadRaster(path, [&](SampleSink& sink) { ReadTiffInto(path, limits, sink); });
}

void ReadTiffInto(const std::string& path, const ReadLimits& limits, SampleSink& target) {
    PrepareTiff();
    // Compressed pages are read into the image once their rows justify it
    // (DeferredSink); uncompressed ones were checked to hold their rows.
    bool compressed = false;
    DeferredSink deferred(target, limits.deferBytes);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) Fail(path, std::string("cannot open: ") + std::strerror(errno));
    const auto fileSize = static_cast<uint64_t>(st.st_size);

    // First every page's format and where its data lie; nothing is decoded yet.
    std::optional<PageFormat> first;
    int64_t depth = 0;
    {
        const TiffPtr tif = OpenForReading(path, fileSize);
        TIFF* t = tif.get();
        std::vector<Chunk> chunks;
        int page = 0;
        do {
            ++page;
            if (IsPreview(t)) continue;
            const PageFormat f = ReadPageFormat(t, path, page);
            if (!first) {
                first = f;
            } else if (f.type != first->type || f.width != first->width || f.height != first->height) {
                Fail(path, PageName(page) + " (" + std::to_string(f.width) + " x " + std::to_string(f.height) + ", " +
                               SampleTypeName(f.type) + ") differs from the first page (" +
                               std::to_string(first->width) + " x " + std::to_string(first->height) + ", " +
                               SampleTypeName(first->type) + ")");
            }
            ++depth;
            CheckPixelCount(path, f.width, f.height, static_cast<uint64_t>(depth), limits);
            CollectChunks(t, path, page, f, fileSize, chunks);
            uint16_t compression = COMPRESSION_NONE;
            TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &compression);
            compressed = compressed || compression != COMPRESSION_NONE;
        } while (TIFFReadDirectory(t));
        if (!t_tiffError.empty()) FailTiff(path, "malformed TIFF");
        if (!first) Fail(path, "the TIFF holds no full-resolution page");
        CheckDistinct(path, chunks);
    }
    SampleSink& sink = compressed ? static_cast<SampleSink&>(deferred) : target;
    sink.Start(first->type, first->width, first->height, depth);

    // Then the pages are decoded, from a fresh handle.
    const TiffPtr tif = OpenForReading(path, fileSize);
    TIFF* t = tif.get();
    int page = 0;
    int64_t planes = 0;
    do {
        ++page;
        if (IsPreview(t)) continue;
        const PageFormat f = ReadPageFormat(t, path, page);
        if (++planes > depth || f.type != first->type || f.width != first->width || f.height != first->height)
            Fail(path, "the file changed while it was read");
        ReadTiffPage(t, path, page, f, sink);
    } while (TIFFReadDirectory(t));
    if (!t_tiffError.empty()) FailTiff(path, "malformed TIFF");
    if (planes != depth) Fail(path, "the file changed while it was read");
}

namespace {

// Bits per sample and sample format of a type TIFF can hold.
std::pair<uint16_t, uint16_t> TiffLayout(const std::string& path, SampleType type) {
    switch (type) {
        case SampleType::Bool: return {1, SAMPLEFORMAT_UINT};
        case SampleType::U8: return {8, SAMPLEFORMAT_UINT};
        case SampleType::U16: return {16, SAMPLEFORMAT_UINT};
        case SampleType::U32: return {32, SAMPLEFORMAT_UINT};
        case SampleType::I8: return {8, SAMPLEFORMAT_INT};
        case SampleType::I16: return {16, SAMPLEFORMAT_INT};
        case SampleType::I32: return {32, SAMPLEFORMAT_INT};
        case SampleType::F32: return {32, SAMPLEFORMAT_IEEEFP};
        case SampleType::F64: return {64, SAMPLEFORMAT_IEEEFP};
        default: Fail(path, std::string("cannot write ") + SampleTypeName(type) + " pixels as TIFF");
    }
}

}  // namespace

// Writes pages of uncompressed strips, row by row, to a file it creates.
struct TiffRowWriter::Impl {
    std::string path;
    uint32_t width;
    SampleType type;
    uint16_t bits = 0, format = 0;
    std::size_t rowBytes = 0;
    TiffPtr tif;
    uint64_t rows = 0;  // rows of the current page
    std::vector<unsigned char> packed;

    Impl(const std::string& p, uint32_t w, SampleType t, bool big) : path(p), width(w), type(t) {
        if (w == 0) Fail(path, "cannot write an image without pixels");
        std::tie(bits, format) = TiffLayout(path, t);
        rowBytes = static_cast<std::size_t>(w) * SampleSize(t);
        if (bits == 1) packed.resize((static_cast<std::size_t>(w) + 7) / 8);
        PrepareTiff();
        tif.reset(TIFFOpen(path.c_str(), big ? "w8" : "w"));
        if (!tif) Fail(path, "cannot create" + TiffDetail());
    }

    // Starts a page of height rows (a first guess when rows are appended
    // without a known end: libtiff extends the length and the strip table as
    // rows arrive past it), page of pages when pages > 1.
    void BeginPage(uint32_t height, uint16_t page, uint16_t pages) {
        TIFF* t = tif.get();
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, height);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t{1});
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bits);
        TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, format);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
        if (pages > 1) {
            TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
            TIFFSetField(t, TIFFTAG_PAGENUMBER, page, pages);
        }
        rows = 0;
    }

    void Rows(const unsigned char* data, uint64_t count) {
        for (uint64_t i = 0; i < count; ++i, data += rowBytes) {
            if (rows >= std::numeric_limits<uint32_t>::max()) Fail(path, "the image is too large for TIFF");
            // libtiff may swap a row in place when it writes big-endian; it
            // writes the machine's order here, so the data stay untouched.
            void* row = const_cast<unsigned char*>(data);
            if (bits == 1) {
                std::fill(packed.begin(), packed.end(), 0);
                for (uint32_t x = 0; x < width; ++x)
                    if (data[x]) packed[x >> 3] |= static_cast<unsigned char>(0x80u >> (x & 7));
                row = packed.data();
            }
            t_tiffError.clear();
            if (TIFFWriteScanline(tif.get(), row, static_cast<uint32_t>(rows), 0) < 0)
                Fail(path, "cannot write" + TiffDetail());
            ++rows;
        }
    }

    void EndPage() {
        t_tiffError.clear();
        if (!TIFFWriteDirectory(tif.get())) Fail(path, "cannot write" + TiffDetail());
    }

    // The thread's libtiff error is cleared before each call judged by it:
    // rows may be appended between reads of other TIFF files on the same
    // thread (a batch of one job), whose errors must not fail this file.
    void Close() {
        TIFF* raw = tif.release();
        t_tiffError.clear();
        TIFFClose(raw);
        if (!t_tiffError.empty()) Fail(path, "cannot write" + TiffDetail());
    }
};

TiffRowWriter::TiffRowWriter(const std::string& path, uint32_t width, SampleType type, bool big)
    : m(std::make_unique<Impl>(path, width, type, big)) {
    m->BeginPage(1, 0, 1);
}

TiffRowWriter::~TiffRowWriter() = default;  // the handle closes without a word when Close was not called

void TiffRowWriter::Append(const void* rows, uint32_t count) {
    if (!m->tif) Fail(m->path, "cannot write after the file was closed");
    m->Rows(static_cast<const unsigned char*>(rows), count);
}

uint64_t TiffRowWriter::Rows() const { return m->rows; }

void TiffRowWriter::Close() {
    if (!m->tif) return;
    if (m->rows == 0) {
        // A TIFF image cannot have zero rows; the unfinished file is left to
        // the caller, who writes to a temporary file and removes it.
        TIFFClose(m->tif.release());
        Fail(m->path, "a TIFF image needs at least one row; use .csv, .tsv, .npy or .json for an empty table");
    }
    m->EndPage();
    m->Close();
}

void WriteTiff(const std::string& path, const Raster& r, bool big) {
    CheckWritable(path, r);
    TiffLayout(path, r.type);
    if (r.width > std::numeric_limits<uint32_t>::max() || r.height > std::numeric_limits<uint32_t>::max() ||
        r.depth > std::numeric_limits<uint16_t>::max())
        Fail(path, "the image is too large for TIFF");
    TiffRowWriter::Impl writer(path, static_cast<uint32_t>(r.width), r.type, big || NeedsBigTiff(r.bytes.size()));
    const auto h = static_cast<uint32_t>(r.height);
    const std::size_t pageBytes = static_cast<std::size_t>(h) * writer.rowBytes;
    for (int64_t z = 0; z < r.depth; ++z) {
        writer.BeginPage(h, static_cast<uint16_t>(z), static_cast<uint16_t>(r.depth));
        writer.Rows(r.bytes.data() + static_cast<std::size_t>(z) * pageBytes, h);
        writer.EndPage();
    }
    writer.Close();
}

bool NeedsBigTiff(uint64_t dataBytes) { return dataBytes > kClassicTiffDataLimit; }

}  // namespace regionfeat
