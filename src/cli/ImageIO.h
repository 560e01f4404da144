// Images as files: the part shared by the formats. A reader hands the samples
// it decodes, in their stored type, to a SampleSink: ReadNodeImage's sink puts
// them straight into the image a node gets (converted to float, or in their
// own type), ReadImage's into a Raster that keeps the stored type. The formats
// themselves: TiffIO.h, PngIO.h, NpyIO.h.
//
// Readers spend memory only as the file delivers data: a header that declares
// more than the file holds fails before the memory is spent, and a declared
// size beyond ReadLimits::maxPixels is refused before anything is decoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelo/Image.h"

namespace regionfeat {

// Sample types a file can hold. F16 is kept as its raw 16 bits.
enum class SampleType { Bool, U8, U16, U32, U64, I8, I16, I32, I64, F16, F32, F64 };

// "uint8", "float32", ... as used in messages.
const char* SampleTypeName(SampleType type);
std::size_t SampleSize(SampleType type);

// Any problem with an image file: unreadable, malformed, unsupported content,
// too large, or a write that failed. The message names the file and says what
// is wrong in one line.
class ImageIOError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Pixels in memory order (x fastest, then y, then z), native byte order.
struct Raster {
    SampleType type = SampleType::F32;
    int64_t width = 0, height = 0, depth = 0;
    std::vector<unsigned char> bytes;

    Raster() = default;
    // Zero-filled raster of the given type and extents.
    Raster(SampleType t, int64_t w, int64_t h, int64_t d);

    int64_t Count() const { return width * height * depth; }
    template <class T>
    T* As() {
        return reinterpret_cast<T*>(bytes.data());
    }
    template <class T>
    const T* As() const {
        return reinterpret_cast<const T*>(bytes.data());
    }
    // Sample i converted to double (F16 decoded).
    double At(int64_t i) const;
};

// The largest image a reader accepts, in pixels (width x height x depth). The
// default is what this machine can hold: its physical memory divided by 8, the
// bytes a pixel takes at least once it is read (up to 4) and converted to
// float (4). Without a known memory size there is no limit.
uint64_t DefaultMaxPixels();

// Samples converted to float pass through a staging buffer of this size:
// large enough for reads of a few MiB, small enough to stay in the cache.
constexpr std::size_t kDefaultChunkBytes = std::size_t{4} << 20;

struct ReadLimits {
    uint64_t maxPixels = DefaultMaxPixels();
    // The staging buffer of a conversion, in bytes (at least one sample). Only
    // tests set it, small, to cut images into many uneven chunks.
    std::size_t chunkBytes = kDefaultChunkBytes;
    // Decoded bytes of a compressed file (compressed TIFF, PNG) that are
    // held back until they justify making the node's image at its declared
    // size; tests set it small.
    std::size_t deferBytes = std::size_t{64} << 20;
    // NPY data of at least this many bytes that the node takes as they are
    // stored are mapped into memory rather than read (MappedFile.h); tests
    // set it small to map small files, or SIZE_MAX to read every file.
    std::size_t mapBytes = std::size_t{1} << 20;
};

// Where a reader puts the samples it decodes: in memory order (x fastest, then
// y, then z), in the stored type and the machine's byte order.
class SampleSink {
public:
    virtual ~SampleSink() = default;
    // Called once, after the header has passed every check and before any
    // sample; may throw (an unsupported type, std::bad_alloc).
    virtual void Start(SampleType type, int64_t width, int64_t height, int64_t depth) = 0;
    // Room for the next `count` samples (1 .. those still to come). The reader
    // fills it, puts the bytes into the machine's order, then calls Filled with
    // the same count before asking for more.
    virtual void* Room(std::size_t count) = 0;
    virtual void Filled(std::size_t count) = 0;
    // How many samples a reader should ask for at a time where it is free to
    // choose: SIZE_MAX when Room hands out the destination itself.
    virtual std::size_t PreferredCount() const = 0;
    // Whether, after Start, the sink would take the samples unchanged into its
    // image, so that it can take them in place in a mapped file instead.
    virtual bool TakesMapped() const { return false; }
    // Every sample at once, in memory that keeper keeps valid (a mapping);
    // replaces Room and Filled. Called only where TakesMapped said yes.
    virtual void Adopt(void* samples, std::shared_ptr<void> keeper) {
        (void)samples;
        (void)keeper;
    }
};

// Reads an image into sink, recognising the format by the file's first bytes
// rather than its name. Throws ImageIOError; std::bad_alloc when the memory
// runs out. The sink has received every sample when this returns.
void ReadImageInto(const std::string& path, const ReadLimits& limits, SampleSink& sink);

// Reads an image into a Raster of its stored type (ReadImageInto).
Raster ReadImage(const std::string& path, const ReadLimits& limits = {});

// Reads an image straight into the image a node gets (the types of
// ToNodeImage): samples of the node's type are read into its pixel array, any
// other type is converted through a staging buffer of limits.chunkBytes. With
// labelWarnings, the warnings of LabelCheck.h about the values are computed as
// the samples pass and stored there.
std::unique_ptr<KELO::CImage> ReadNodeImage(const std::string& path, bool native, const ReadLimits& limits = {},
                                            std::vector<std::string>* labelWarnings = nullptr);

// The image a node gets. By default every type becomes IMAGE_GREY_F (values
// converted to float). With native, the stored type is kept where the host has
// it (F32, U8, U16, U32, Bool); any other type throws ImageIOError naming what.
std::unique_ptr<KELO::CImage> ToNodeImage(const Raster& raster, bool native, const std::string& what);

// A host image as a float raster (pixel values converted to float).
Raster FloatRasterOf(const KELO::CImage& image);

}  // namespace regionfeat
