#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace test {

using namespace KELO;

std::unique_ptr<CImage> FloatImage(int64_t W, int64_t H, const std::vector<float>& pixels, int64_t D) {
    auto img = std::make_unique<CImage>(IMAGE_GREY_F, CSize(W, H, D), CSize(0, 0, 0));
    EXPECT_EQ(static_cast<int64_t>(pixels.size()), W * H * D) << "pixel list does not fit the extents";
    std::copy_n(pixels.begin(), std::min<int64_t>(static_cast<int64_t>(pixels.size()), W * H * D),
                img->Pixels<float>());
    return img;
}

std::unique_ptr<CImage> FilledImage(int64_t W, int64_t H, float value, int64_t D) {
    auto img = std::make_unique<CImage>(IMAGE_GREY_F, CSize(W, H, D), CSize(0, 0, 0));
    std::fill_n(img->Pixels<float>(), W * H * D, value);
    return img;
}

std::unique_ptr<CImage> ByteImage(int64_t W, int64_t H, const std::vector<float>& pixels) {
    auto img = std::make_unique<CImage>(IMAGE_GREY_8, CSize(W, H, 1), CSize(0, 0, 0));
    EXPECT_EQ(static_cast<int64_t>(pixels.size()), W * H) << "pixel list does not fit the extents";
    for (int64_t i = 0; i < std::min<int64_t>(static_cast<int64_t>(pixels.size()), W * H); ++i)
        img->Pixels<uint8_t>()[i] = static_cast<uint8_t>(pixels[static_cast<std::size_t>(i)]);
    return img;
}

NodeHarness::NodeHarness(CPNode* node) : m_node(node) {}
NodeHarness::~NodeHarness() = default;

void NodeHarness::Connect(int index, std::unique_ptr<CImage> image) {
    if (!image) {
        m_node->SetStackInput(index, nullptr);
        m_inputs[index].reset();
        return;
    }
    // The image is given up only once its holder exists, so a failed allocation loses nothing.
    m_inputs[index] = std::make_unique<CValueOwnedPointer<CImage>>(image.get(), 1);
    image.release();
    m_node->SetStackInput(index, m_inputs[index].get());
}

void NodeHarness::ConnectEmpty(int index) {
    m_inputs[index] = std::make_unique<CValueOwnedPointer<CImage>>(nullptr, 1);
    m_node->SetStackInput(index, m_inputs[index].get());
}

void NodeHarness::SetParameter(const char* key, CValue* value) { m_node->Parameters().SetEntry(key, value); }

void NodeHarness::Run() {
    m_node->ReadParameters();
    m_node->Run();
}

std::string NodeHarness::RunCapturingStdout() {
    testing::internal::CaptureStdout();
    try {
        Run();
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
    return testing::internal::GetCapturedStdout();
}

const CImage& NodeHarness::Matrix() const {
    CValue* v = m_node->StackOutput(0);
    if (!v) throw std::runtime_error("no output 0");
    return *UnwrapImage(v);
}

const CValueVector& NodeHarness::Values() const {
    auto* v = dynamic_cast<const CValueVector*>(m_node->StackOutput(1));
    if (!v) throw std::runtime_error("no output 1");
    return *v;
}

float NodeHarness::At(int64_t feature, int64_t region) const {
    const CImage& m = Matrix();
    if (feature < 0 || feature >= m.Size().x || region < 0 || region >= m.Size().y)
        throw std::out_of_range("matrix index");
    return m.Pixels<float>()[region * m.Size().x + feature];
}

NodeHarness RunNode(CPNode* node, std::unique_ptr<CImage> grey, std::unique_ptr<CImage> labels) {
    NodeHarness h(node);
    h.Connect(0, std::move(grey));
    h.Connect(1, std::move(labels));
    h.Run();
    return h;
}

std::vector<float> MatrixValues(const NodeHarness& h) {
    const CImage& m = h.Matrix();
    return std::vector<float>(m.Pixels<float>(), m.Pixels<float>() + m.Size().Count());
}

std::vector<float> PaintBoxes(int W, int H, const std::vector<std::array<int, 5>>& boxes) {
    std::vector<float> labels(static_cast<std::size_t>(W) * H, 0.0f);
    for (const auto& [label, x0, y0, x1, y1] : boxes)
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) labels[static_cast<std::size_t>(y) * W + x] = static_cast<float>(label);
    return labels;
}

std::array<int, 4> LabelBox(const std::vector<float>& labels, int W, float label) {
    std::array<int, 4> box{INT32_MAX, INT32_MAX, -1, -1};
    for (int i = 0; i < static_cast<int>(labels.size()); ++i)
        if (labels[i] == label) box = {std::min(box[0], i % W), std::min(box[1], i / W), std::max(box[2], i % W), i / W};
    return box;
}

std::vector<float> RandomLevels(std::size_t n, unsigned levels, unsigned seed) {
    std::vector<float> v(n);
    for (float& x : v) x = static_cast<float>(((seed = seed * 1103515245u + 12345u) >> 16) % levels);
    return v;
}

CException CatchException(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const CException& e) {
        return e;
    }
    ADD_FAILURE() << "expected a CException";
    return CException("", "no exception", nullptr);
}

std::unique_ptr<CValueMap> Setup(CPNode& node) {
    auto setup = std::make_unique<CValueMap>();
    node.GetPluginSetup(*setup);
    return setup;
}

std::string Text(const CValueContainerBase& map, const std::string& key) {
    const CValue* v = map.Entry(key);
    if (!v || v->Type() != EValueType::String) return "<missing>";
    return v->String();
}

std::string MetaText(const CValueContainerBase& map, const std::string& key, const std::string& metaKey) {
    const CValue* v = map.Entry(key);
    if (!v || !v->MetaIfAny()) return "<missing>";
    return Text(*v->MetaIfAny(), metaKey);
}

std::vector<std::string> Keys(const CValueMap& map) {
    std::vector<std::string> keys;
    for (const auto& [k, v] : map.Entries()) keys.push_back(k);
    return keys;
}

void ExpectTexts(const CValueMap& setup, const std::vector<std::pair<std::string, std::string>>& expected) {
    for (const auto& [path, text] : expected) {
        const auto at = path.find('@');
        if (at == std::string::npos) {
            EXPECT_EQ(Text(setup, path), text) << path;
        } else {
            EXPECT_EQ(MetaText(setup, path.substr(0, at), path.substr(at + 1)), text) << path;
        }
    }
}

void ExpectInputChecks(const std::function<CPNode*()>& make, const std::string& location,
                       const std::vector<frame::InputCheck>& checks, const std::string& noRegions,
                       CPixelType wrongType) {
    using frame::Check;
    for (std::size_t k = 0; k < checks.size(); ++k) {
        NodeHarness h(make());
        // Inputs that pass every check before k.
        bool grey = false, labels = false;
        for (std::size_t i = 0; i < k; ++i) {
            const Check c = checks[i].what;
            grey |= c == Check::GreyNull || c == Check::GreyType || c == Check::GreyImage || c == Check::Unwrap ||
                    c == Check::UnwrapGrey || c == Check::GreyEmpty;
            labels |= c == Check::LabelNull || c == Check::LabelType || c == Check::LabelImage || c == Check::Unwrap ||
                      c == Check::LabelEmpty;
        }
        if (grey) h.Connect(0, FilledImage(3, 3, 1.0f));
        if (labels) h.Connect(1, FilledImage(3, 3, 1.0f));
        switch (checks[k].what) {
            case Check::GreyNull: h.Connect(0, nullptr); break;
            case Check::LabelNull: h.Connect(1, nullptr); break;
            case Check::GreyImage:
            case Check::GreyEmpty: h.ConnectEmpty(0); break;
            case Check::LabelImage:
            case Check::LabelEmpty: h.ConnectEmpty(1); break;
            case Check::GreyType:
                h.Connect(0, std::make_unique<CImage>(wrongType, CSize(3, 3, 1)));
                if (!labels) h.Connect(1, FilledImage(3, 3, 1.0f));
                break;
            case Check::LabelType:
                if (!grey) h.Connect(0, FilledImage(3, 3, 1.0f));
                h.Connect(1, std::make_unique<CImage>(wrongType, CSize(3, 3, 1)));
                break;
            case Check::Unwrap:
            case Check::UnwrapGrey: continue;  // raises the host's own failure, not the node's
        }
        CException e = CatchException([&] { h.Run(); });
        EXPECT_EQ(e.Message(), checks[k].message) << "check " << k;
        if (!e.SourceLocation()) {
            EXPECT_EQ(e.Location(), checks[k].location.empty() ? location : checks[k].location) << "check " << k;
        }
        EXPECT_EQ(h.Node().StackOutput(0), nullptr);
        EXPECT_EQ(h.Node().StackOutput(1), nullptr);
    }
    if (noRegions.empty()) return;
    NodeHarness h(make());
    h.Connect(0, FilledImage(3, 3, 1.0f));
    h.Connect(1, FilledImage(3, 3, 0.0f));
    CException e = CatchException([&] { h.Run(); });
    EXPECT_EQ(e.Message(), noRegions);
    EXPECT_EQ(h.Node().StackOutput(0), nullptr);
}

namespace {
std::string Quoted(const std::string& word) {
    std::string q = "'";
    for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}
std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
}  // namespace

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args) {
    std::string dir = (std::filesystem::temp_directory_path() / "run_program_XXXXXX").string();
    if (!mkdtemp(dir.data())) throw std::runtime_error("cannot make a temporary directory");
    const std::string out = dir + "/out", err = dir + "/err";
    std::string command = Quoted(program);
    for (const std::string& a : args) command.append(" ").append(Quoted(a));
    command.append(" </dev/null >").append(Quoted(out)).append(" 2>").append(Quoted(err));
    const int status = std::system(command.c_str());
    ProgramResult r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(out), Slurp(err)};
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return r;
}

}  // namespace test
