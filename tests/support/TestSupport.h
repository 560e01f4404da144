// Helpers shared by the tests: images from literal pixel lists, a harness that
// connects inputs to a node and runs it, exception/stdout capture, the usual
// input checks, temporary directories, hand-made files and program runs.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "FeatureFrame.h"
#include "ImageIO.h"
#include "kelo/Node.h"

namespace test {

// A float image of W x H x D pixels (x fastest) from the given values.
std::unique_ptr<KELO::CImage> FloatImage(int64_t W, int64_t H, const std::vector<float>& pixels, int64_t D = 1);
// Same extents, every pixel = value.
std::unique_ptr<KELO::CImage> FilledImage(int64_t W, int64_t H, float value, int64_t D = 1);
// An 8-bit image of W x H pixels; each value is converted to its byte (values
// must lie in 0 .. 255).
std::unique_ptr<KELO::CImage> ByteImage(int64_t W, int64_t H, const std::vector<float>& pixels);

// Owns a node and the values connected to its inputs.
class NodeHarness {
public:
    explicit NodeHarness(KELO::CPNode* node);
    ~NodeHarness();
    NodeHarness(NodeHarness&&) = default;

    KELO::CPNode& Node() { return *m_node; }
    // Connects an input (null disconnects); the harness keeps the image alive.
    void Connect(int index, std::unique_ptr<KELO::CImage> image);
    // Connects an input value that holds no image.
    void ConnectEmpty(int index);
    void SetParameter(const char* key, KELO::CValue* value);
    // ReadParameters, then Run.
    void Run();
    // Like Run, returning what the node wrote to standard output.
    std::string RunCapturingStdout();

    const KELO::CImage& Matrix() const;
    const KELO::CValueVector& Values() const;
    float At(int64_t feature, int64_t region) const;

private:
    std::unique_ptr<KELO::CPNode> m_node;
    std::unique_ptr<KELO::CValue> m_inputs[2];
};

// A new node with a grey image and a label image connected; RunNode also runs
// it (ReadParameters, then Run).
NodeHarness Connected(KELO::CPNode* node, std::unique_ptr<KELO::CImage> grey, std::unique_ptr<KELO::CImage> labels);
NodeHarness RunNode(KELO::CPNode* node, std::unique_ptr<KELO::CImage> grey, std::unique_ptr<KELO::CImage> labels);
// Every pixel of output 0, row by row.
std::vector<float> MatrixValues(const NodeHarness& h);
// Row r of output 0.
std::vector<float> MatrixRow(const NodeHarness& h, int64_t r);
// Output 0 of a new node run on float images of W x H x D pixels (H from the
// size of the lists), row by row.
std::vector<float> RunMatrix(KELO::CPNode* node, int64_t W, const std::vector<float>& grey,
                             const std::vector<float>& labels, int64_t D = 1);
// The node from make gives the same output 0, bit for bit, for an 8-bit grey
// image as for a float image of the same values (0 .. 255).
void ExpectByteGreyLikeFloat(const std::function<KELO::CPNode*()>& make, int64_t W, const std::vector<float>& grey,
                             const std::vector<float>& labels);

// A W x H label list painted with boxes {label, x0, y0, x1, y1} (corners
// included) in the given order, 0 elsewhere.
std::vector<float> PaintBoxes(int W, int H, const std::vector<std::array<int, 5>>& boxes);
// The box {x0, y0, x1, y1} of a label in a label list of width W, made as the
// region table makes it: of every pixel whose value truncates to the label.
// {W, H, -1, -1} when the label is absent.
std::array<int, 4> LabelBox(const std::vector<float>& labels, int64_t W, float label);
// n pseudo-random whole numbers 0 .. levels - 1 (as floats) from a seed.
std::vector<float> RandomLevels(std::size_t n, unsigned levels, unsigned seed);

// Runs fn and returns the CException it throws; fails the test when it throws none.
KELO::CException CatchException(const std::function<void()>& fn);

// The setup description of a node as its host reads it.
std::unique_ptr<KELO::CValueMap> Setup(KELO::CPNode& node);
// The text of a string entry (path allowed), or "<missing>".
std::string Text(const KELO::CValueContainerBase& map, const std::string& key);
std::string MetaText(const KELO::CValueContainerBase& map, const std::string& key, const std::string& metaKey);

// Checks string entries of a setup description: "path" names an entry's text,
// "path@meta" the text of a meta entry of it.
void ExpectTexts(const KELO::CValueMap& setup, const std::vector<std::pair<std::string, std::string>>& expected);

// Drives a node through its input checks in their order: for each check, the
// inputs pass every earlier one and fail this one (disconnected, a value with no
// image, or an image of `wrongType`); the run must throw the message with the
// location (the check's own, when it has one) and leave no output. Then, with
// valid inputs and an all-background label image, expects `noRegions` (skipped
// when empty). A GreyType check is failed with wrongType, so pick a type the
// node refuses for both inputs.
void ExpectInputChecks(const std::function<KELO::CPNode*()>& make, const std::string& location,
                       const std::vector<KELO::frame::InputCheck>& checks, const std::string& noRegions,
                       KELO::CPixelType wrongType = KELO::IMAGE_GREY_16);
// The checks most nodes make, with the messages most of them use: grey input
// missing, not IMAGE_GREY_F or IMAGE_GREY_8, label input missing, not
// IMAGE_GREY_F; then no regions. Located at "(feature plugins) <name>::Run".
void ExpectUsualInputChecks(const std::function<KELO::CPNode*()>& make, const std::string& name);

// A whole file as bytes; a file written from bytes.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

// A new empty directory, removed with everything in it at the end of its scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }
    // The names in the directory.
    std::set<std::string> Names() const;

private:
    std::string m_path;
};

// Little-endian bytes of a 16- or 32-bit value.
std::string LE16(uint32_t v);
std::string LE32(uint32_t v);
// An NPY file of version 1 or 2: magic, header length, the dict padded with
// blanks and a newline to a multiple of 64 bytes, then the data.
std::string NpyFile(const std::string& dict, const std::string& data, int major = 1);
// A little-endian classic TIFF made byte by byte: the data block at offset 8,
// then one IFD per page (tags in ascending order, SHORT = type 3 or LONG =
// type 4 values) with its longer arrays after it.
struct TiffTag {
    uint16_t tag, type;
    std::vector<uint32_t> values;
};
std::string TiffFile(const std::string& data, const std::vector<std::vector<TiffTag>>& pages);

// Output 0 of a node run in this process on the image files as the command
// line hands them over (converted to float); no label path, no label input.
regionfeat::Raster InProcess(const std::string& node, const std::string& greyPath, const std::string& labelPath);

// Runs a program with the given arguments (standard input from /dev/null) and
// returns its exit status (-1 when it did not exit normally) and what it wrote
// to standard output (to stdoutPath instead, when given) and standard error.
struct ProgramResult {
    int status = -1;
    std::string out, err;
};
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::string& stdoutPath = "");

// A PNG of w pixels a row written with libpng: rows are the bytes of each row
// as stored in the file (16-bit big-endian, packed below 8 bits), colour a
// libpng colour type (PNG_COLOR_TYPE_GRAY, ...); false when libpng refuses.
bool WriteRawPng(const std::string& path, uint32_t w, int bits, int colour, const std::vector<std::string>& rows,
                 bool interlaced = false);

// The message of the E that fn throws; "" and a test failure if it throws none.
template <class E, class Fn>
std::string MessageOf(Fn&& fn) {
    try {
        fn();
    } catch (const E& e) {
        return e.what();
    }
    ADD_FAILURE() << "the expected exception was not thrown";
    return "";
}

}  // namespace test
