#include "NpyIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <vector>

#include "ImageIOCommon.h"
#include "MappedFile.h"

namespace regionfeat {

using namespace detail;

namespace {

// A minimal reader of the header's Python dict literal:
// {'descr': '<f4', 'fortran_order': False, 'shape': (3, 4), }
class NpyHeaderParser {
public:
    NpyHeaderParser(const std::string& path, const std::string& text) : m_path(path), m_text(text) {}

    void Parse(std::string& descr, bool& fortran, std::vector<uint64_t>& shape) {
        bool haveDescr = false, haveFortran = false, haveShape = false;
        Expect('{');
        while (true) {
            SkipSpace();
            if (Peek() == '}') {
                ++m_pos;
                break;
            }
            const std::string key = StringLiteral();
            Expect(':');
            SkipSpace();
            if (key == "descr") {
                if (Peek() == '[') Bad("structured arrays are not supported");
                descr = StringLiteral();
                haveDescr = true;
            } else if (key == "fortran_order") {
                fortran = Boolean();
                haveFortran = true;
            } else if (key == "shape") {
                shape = Tuple();
                haveShape = true;
            } else {
                Bad("unexpected key '" + key + "'");
            }
            SkipSpace();
            if (Peek() == ',') {
                ++m_pos;
            } else if (Peek() != '}') {
                Bad("expected ',' or '}'");
            }
        }
        if (!haveDescr || !haveFortran || !haveShape) Bad("'descr', 'fortran_order' or 'shape' is missing");
    }

private:
    [[noreturn]] void Bad(const std::string& what) { Fail(m_path, "malformed NPY header: " + what); }
    char Peek() const { return m_pos < m_text.size() ? m_text[m_pos] : '\0'; }
    void SkipSpace() {
        while (m_pos < m_text.size() && std::isspace(static_cast<unsigned char>(m_text[m_pos]))) ++m_pos;
    }
    void Expect(char c) {
        SkipSpace();
        if (Peek() != c) Bad(std::string("expected '") + c + "'");
        ++m_pos;
    }
    std::string StringLiteral() {
        SkipSpace();
        const char quote = Peek();
        if (quote != '\'' && quote != '"') Bad("expected a string");
        const std::size_t end = m_text.find(quote, m_pos + 1);
        if (end == std::string::npos) Bad("unterminated string");
        std::string s = m_text.substr(m_pos + 1, end - m_pos - 1);
        m_pos = end + 1;
        return s;
    }
    bool Boolean() {
        if (m_text.compare(m_pos, 4, "True") == 0) {
            m_pos += 4;
            return true;
        }
        if (m_text.compare(m_pos, 5, "False") == 0) {
            m_pos += 5;
            return false;
        }
        Bad("expected True or False");
    }
    std::vector<uint64_t> Tuple() {
        if (Peek() != '(') Bad("expected a shape tuple");
        ++m_pos;
        std::vector<uint64_t> dims;
        while (true) {
            SkipSpace();
            if (Peek() == ')') {
                ++m_pos;
                return dims;
            }
            if (!std::isdigit(static_cast<unsigned char>(Peek()))) Bad("expected a dimension");
            uint64_t v = 0;
            while (std::isdigit(static_cast<unsigned char>(Peek()))) {
                if (v > (std::numeric_limits<uint64_t>::max() - 9) / 10) Bad("dimension too large");
                v = v * 10 + static_cast<uint64_t>(Peek() - '0');
                ++m_pos;
            }
            // Python writes a long as "3L" in old files.
            if (Peek() == 'L') ++m_pos;
            dims.push_back(v);
            SkipSpace();
            if (Peek() == ',')
                ++m_pos;
            else if (Peek() != ')')
                Bad("expected ',' or ')' in the shape");
        }
    }

    const std::string& m_path;
    const std::string& m_text;
    std::size_t m_pos = 0;
};

// Sample type of an NPY type string such as "<f4"; sets swap when its byte
// order differs from the machine's.
SampleType NpyType(const std::string& path, const std::string& descr, bool& swap) {
    auto unsupported = [&](const std::string& why) -> SampleType {
        Fail(path, "NPY type '" + descr + "' is not supported (" + why + ")");
    };
    if (descr.size() < 3) unsupported("bool, integer and float arrays are read");
    const char order = descr[0];
    const char kind = descr[1];
    const std::string sizeText = descr.substr(2);
    if (order != '<' && order != '>' && order != '|' && order != '=')
        unsupported("bool, integer and float arrays are read");
    // Every size read has one digit; a longer number must not wrap around
    // into one of them when it is converted.
    if (sizeText.size() > 2 ||
        !std::all_of(sizeText.begin(), sizeText.end(), [](char c) { return std::isdigit((unsigned char)c); }))
        unsupported("bool, integer and float arrays are read");
    const int size = std::atoi(sizeText.c_str());
    swap = size > 1 && ((order == '<' && !kLittleEndian) || (order == '>' && kLittleEndian));
    switch (kind) {
        case 'b':
            if (size == 1) return SampleType::Bool;
            break;
        case 'u':
            if (size == 1) return SampleType::U8;
            if (size == 2) return SampleType::U16;
            if (size == 4) return SampleType::U32;
            if (size == 8) return SampleType::U64;
            break;
        case 'i':
            if (size == 1) return SampleType::I8;
            if (size == 2) return SampleType::I16;
            if (size == 4) return SampleType::I32;
            if (size == 8) return SampleType::I64;
            break;
        case 'f':
            if (size == 2) return SampleType::F16;
            if (size == 4) return SampleType::F32;
            if (size == 8) return SampleType::F64;
            break;
        case 'c': return unsupported("complex numbers");
        default: break;
    }
    return unsupported("bool, integer and float arrays are read");
}

// The NPY type string of t in the machine's byte order ("<f4" on x86).
std::string NpyDescr(SampleType t) {
    const std::string order = kLittleEndian ? "<" : ">";
    switch (t) {
        case SampleType::Bool: return "|b1";
        case SampleType::U8: return "|u1";
        case SampleType::I8: return "|i1";
        case SampleType::U16: return order + "u2";
        case SampleType::U32: return order + "u4";
        case SampleType::U64: return order + "u8";
        case SampleType::I16: return order + "i2";
        case SampleType::I32: return order + "i4";
        case SampleType::I64: return order + "i8";
        case SampleType::F16: return order + "f2";
        case SampleType::F32: return order + "f4";
        case SampleType::F64: return order + "f8";
    }
    return "|u1";
}

}  // namespace

namespace {

// Closes a file descriptor at the end of its scope.
struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

void ReadNpyInto(const std::string& path, const ReadLimits& limits, SampleSink& sink) {
    FileDescriptor file;
    file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0) Fail(path, std::string("cannot open: ") + std::strerror(errno));
    struct stat st {};
    if (::fstat(file.fd, &st) != 0) Fail(path, std::string("cannot open: ") + std::strerror(errno));
    const auto fileSize = static_cast<uint64_t>(st.st_size);
    unsigned char pre[12] = {};
    if (fileSize < 10 || !ReadAt(file.fd, pre, 10, 0) || std::memcmp(pre, "\x93NUMPY", 6) != 0)
        Fail(path, "not an NPY file");
    const int major = pre[6];
    uint64_t headerLen = 0, offset = 0;
    if (major == 1) {
        headerLen = pre[8] | static_cast<uint64_t>(pre[9]) << 8;
        offset = 10;
    } else if (major == 2 || major == 3) {
        if (fileSize < 12 || !ReadAt(file.fd, pre + 10, 2, 10)) Fail(path, "truncated NPY header");
        headerLen = pre[8] | static_cast<uint64_t>(pre[9]) << 8 | static_cast<uint64_t>(pre[10]) << 16 |
                    static_cast<uint64_t>(pre[11]) << 24;
        offset = 12;
    } else {
        Fail(path, "NPY format version " + std::to_string(major) + " is not supported");
    }
    if (headerLen > (1u << 20)) Fail(path, "malformed NPY header: too long");
    if (offset + headerLen > fileSize) Fail(path, "truncated NPY header");
    std::string header(headerLen, '\0');
    if (!ReadAt(file.fd, header.data(), headerLen, offset)) Fail(path, "truncated NPY header");

    std::string descr;
    bool fortran = false;
    std::vector<uint64_t> shape;
    NpyHeaderParser(path, header).Parse(descr, fortran, shape);
    bool swap = false;
    const SampleType type = NpyType(path, descr, swap);
    if (fortran) Fail(path, "Fortran-ordered NPY arrays are not supported (save the array in C order)");
    if (shape.size() != 2 && shape.size() != 3)
        Fail(path, "NPY array of " + std::to_string(shape.size()) + " dimensions; expected (H, W) or (D, H, W)");
    for (uint64_t e : shape)
        if (e > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            Fail(path, "the image extents are too large");
    const auto d = shape.size() == 3 ? static_cast<int64_t>(shape[0]) : 1;
    const auto h = static_cast<int64_t>(shape[shape.size() - 2]);
    const auto w = static_cast<int64_t>(shape[shape.size() - 1]);
    if (w > 0 && h > 0 && d > 0) CheckPixelCount(path, w, h, d, limits);
    const std::size_t elem = SampleSize(type);
    const std::size_t dataBytes = CheckedBytes(path, w, h, d, elem);
    const uint64_t available = fileSize - offset - headerLen;
    if (available < dataBytes)
        Fail(path, "truncated NPY data (" + std::to_string(available) + " of " + std::to_string(dataBytes) + " bytes)");
    if (available > dataBytes)
        Fail(path,
             std::to_string(available - dataBytes) + " bytes after the NPY data; the shape does not fit the file");

    // The data are read in as few pieces as the sink allows: all at once
    // into a node image of the stored type, else a staging buffer at a time.
    sink.Start(type, w, h, d);
    // Data the sink takes as they are stored need not be copied at all: the
    // image is made over the file's pages (no zeroed pages to fill, no copy).
    // Small files are simply read.
    const uint64_t dataAt = offset + headerLen;
    if (!swap && type != SampleType::Bool && dataBytes >= limits.mapBytes && dataAt % elem == 0 &&
        sink.TakesMapped())
        if (std::shared_ptr<void> map = MapFileForReading(file.fd, fileSize, path)) {
            void* samples = static_cast<unsigned char*>(map.get()) + dataAt;
            sink.Adopt(samples, std::move(map));
            return;
        }
    ::posix_fadvise(file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    const std::size_t step = std::max<std::size_t>(1, sink.PreferredCount());
    uint64_t at = offset + headerLen;
    for (std::size_t left = dataBytes / elem; left > 0;) {
        const std::size_t n = std::min(left, step);
        auto* room = static_cast<unsigned char*>(sink.Room(n));
        if (!ReadAt(file.fd, room, n * elem, at)) Fail(path, "cannot read the NPY data");
        if (swap) SwapSamples(room, n, elem);
        if (type == SampleType::Bool)
            for (std::size_t i = 0; i < n; ++i) room[i] = room[i] != 0;
        sink.Filled(n);
        at += n * elem;
        left -= n;
    }
}

Raster ReadNpy(const std::string& path, const ReadLimits& limits) {
    return ReadRaster(path, [&](SampleSink& sink) { ReadNpyInto(path, limits, sink); });
}

namespace {

// The NPY header of a raster: magic, version, length field, dict, padding and
// newline, a multiple of 64 bytes so that the data are aligned.
std::string NpyHeader(const Raster& r) {
    std::string dict = std::string("{'descr': '") + NpyDescr(r.type) + "', 'fortran_order': False, 'shape': (";
    if (r.depth != 1) dict += std::to_string(r.depth) + ", ";
    dict += std::to_string(r.height) + ", " + std::to_string(r.width) + "), }";
    std::size_t fixed = 10;
    std::size_t total = (fixed + dict.size() + 1 + 63) / 64 * 64;
    if (total - fixed > 0xffff) {
        fixed = 12;
        total = (fixed + dict.size() + 1 + 63) / 64 * 64;
    }
    const std::size_t headerLen = total - fixed;
    dict.append(headerLen - dict.size() - 1, ' ');
    dict += '\n';
    std::string out("\x93NUMPY", 6);
    out += static_cast<char>(fixed == 10 ? 1 : 2);
    out += '\0';
    for (std::size_t i = 0; i < fixed - 8; ++i) out += static_cast<char>((headerLen >> (8 * i)) & 0xffu);
    return out + dict;
}

}  // namespace

std::string NpyBytes(const Raster& r) {
    std::string out = NpyHeader(r);
    out.append(reinterpret_cast<const char*>(r.bytes.data()), r.bytes.size());
    return out;
}

void WriteNpy(const std::string& path, const Raster& r) {
    // Unlike TIFF and PNG, NPY holds arrays without elements (a result of zero rows).
    if (r.width < 0 || r.height < 0 || r.depth < 0 ||
        r.bytes.size() != static_cast<std::size_t>(r.Count()) * SampleSize(r.type))
        Fail(path, "pixel data do not match the image extents");
    // Header, then the samples as they are: the file's bytes are never gathered in memory.
    const std::string header = NpyHeader(r);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) Fail(path, std::string("cannot create: ") + std::strerror(errno));
    out.write(header.data(), static_cast<std::streamsize>(header.size()));
    out.write(reinterpret_cast<const char*>(r.bytes.data()), static_cast<std::streamsize>(r.bytes.size()));
    out.close();
    if (!out) Fail(path, "cannot write");
}

}  // namespace regionfeat
