// Helpers shared by the tests: images from literal pixel lists, a harness that
// connects inputs to a node and runs it, and exception/stdout capture.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "FeatureFrame.h"
#include "kelo/Node.h"

namespace test {

// A float image of W x H x D pixels (x fastest) from the given values.
std::unique_ptr<KELO::CImage> FloatImage(int64_t W, int64_t H, const std::vector<float>& pixels, int64_t D = 1);
// Same extents, every pixel = value.
std::unique_ptr<KELO::CImage> FilledImage(int64_t W, int64_t H, float value, int64_t D = 1);

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

// Runs fn and returns the CException it throws; fails the test when it throws none.
KELO::CException CatchException(const std::function<void()>& fn);

// The setup description of a node as its host reads it.
std::unique_ptr<KELO::CValueMap> Setup(KELO::CPNode& node);
// The text of a string entry (path allowed), or "<missing>".
std::string Text(const KELO::CValueContainerBase& map, const std::string& key);
std::string MetaText(const KELO::CValueContainerBase& map, const std::string& key, const std::string& metaKey);

// The keys of a map in insertion order.
std::vector<std::string> Keys(const KELO::CValueMap& map);

// Checks string entries of a setup description: "path" names an entry's text,
// "path@meta" the text of a meta entry of it.
void ExpectTexts(const KELO::CValueMap& setup, const std::vector<std::pair<std::string, std::string>>& expected);

// Drives a node through its input checks in their order: for each check, the
// inputs pass every earlier one and fail this one (disconnected, a value with no
// image, or an image of `wrongType`); the run must throw the message with the
// location and leave no output. Then, with valid inputs and an all-background
// label image, expects `noRegions` (skipped when empty). A GreyType check is
// failed with wrongType, so pick a type the node refuses for both inputs.
void ExpectInputChecks(const std::function<KELO::CPNode*()>& make, const std::string& location,
                       const std::vector<KELO::frame::InputCheck>& checks, const std::string& noRegions,
                       KELO::CPixelType wrongType = KELO::IMAGE_GREY_16);

// Runs a program with the given arguments (standard input from /dev/null) and
// returns its exit status (-1 when it did not exit normally) and what it wrote
// to standard output and standard error.
struct ProgramResult {
    int status = -1;
    std::string out, err;
};
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args);

}  // namespace test
