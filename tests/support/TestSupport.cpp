#include "TestSupport.h"

#include <gtest/gtest.h>
#include <png.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "Registry.h"

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

NodeHarness Connected(CPNode* node, std::unique_ptr<CImage> grey, std::unique_ptr<CImage> labels) {
    NodeHarness h(node);
    h.Connect(0, std::move(grey));
    h.Connect(1, std::move(labels));
    return h;
}

NodeHarness RunNode(CPNode* node, std::unique_ptr<CImage> grey, std::unique_ptr<CImage> labels) {
    NodeHarness h = Connected(node, std::move(grey), std::move(labels));
    h.Run();
    return h;
}

std::vector<float> MatrixValues(const NodeHarness& h) {
    const CImage& m = h.Matrix();
    return std::vector<float>(m.Pixels<float>(), m.Pixels<float>() + m.Size().Count());
}

std::vector<float> MatrixRow(const NodeHarness& h, int64_t r) {
    std::vector<float> row;
    for (int64_t f = 0; f < h.Matrix().Size().x; ++f) row.push_back(h.At(f, r));
    return row;
}

std::vector<float> RunMatrix(CPNode* node, int64_t W, const std::vector<float>& grey, const std::vector<float>& labels,
                             int64_t D) {
    const auto H = static_cast<int64_t>(grey.size()) / (W * D);
    return MatrixValues(RunNode(node, FloatImage(W, H, grey, D), FloatImage(W, H, labels, D)));
}

void ExpectByteGreyLikeFloat(const std::function<CPNode*()>& make, int64_t W, const std::vector<float>& grey,
                             const std::vector<float>& labels) {
    const auto H = static_cast<int64_t>(grey.size()) / W;
    const std::vector<float> bytes = MatrixValues(RunNode(make(), ByteImage(W, H, grey), FloatImage(W, H, labels)));
    const std::vector<float> floats = MatrixValues(RunNode(make(), FloatImage(W, H, grey), FloatImage(W, H, labels)));
    ASSERT_EQ(bytes.size(), floats.size());
    EXPECT_EQ(std::memcmp(bytes.data(), floats.data(), bytes.size() * sizeof(float)), 0)
        << "8-bit grey values give another matrix than the same values as floats";
}

std::vector<float> PaintBoxes(int W, int H, const std::vector<std::array<int, 5>>& boxes) {
    std::vector<float> labels(static_cast<std::size_t>(W) * H, 0.0f);
    for (const auto& [label, x0, y0, x1, y1] : boxes)
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) labels[static_cast<std::size_t>(y) * W + x] = static_cast<float>(label);
    return labels;
}

std::array<int, 4> LabelBox(const std::vector<float>& labels, int64_t W, float label) {
    std::array<int, 4> box{static_cast<int>(W), static_cast<int>(static_cast<int64_t>(labels.size()) / W), -1, -1};
    for (int i = 0; i < static_cast<int>(labels.size()); ++i)
        if (std::trunc(labels[i]) == label) {
            const int x = i % static_cast<int>(W), y = i / static_cast<int>(W);
            box = {std::min(box[0], x), std::min(box[1], y), std::max(box[2], x), y};
        }
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

void ExpectUsualInputChecks(const std::function<CPNode*()>& make, const std::string& name) {
    using frame::Check;
    ExpectInputChecks(make, "(feature plugins) " + name + "::Run",
                      {{Check::GreyNull, "First input image is NULL"},
                       {Check::GreyType, "The first input image is not of type IMAGE_GREY_F or IMAGE_GREY_8"},
                       {Check::LabelNull, "Label image is NULL"},
                       {Check::LabelType, "The label image is not of type IMAGE_GREY_F"}},
                      "The number of regions is zero!!");
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "regionfeat_test_XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary directory");
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::set<std::string> TempDir::Names() const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(m_path)) names.insert(e.path().filename().string());
    return names;
}

std::string LE16(uint32_t v) { return {static_cast<char>(v & 0xff), static_cast<char>(v >> 8 & 0xff)}; }
std::string LE32(uint32_t v) { return LE16(v & 0xffff) + LE16(v >> 16); }

std::string NpyFile(const std::string& dict, const std::string& data, int major) {
    const std::size_t fixed = major == 1 ? 10 : 12;
    std::string header = dict;
    while ((fixed + header.size() + 1) % 64 != 0) header += ' ';
    header += '\n';
    const auto length = static_cast<uint32_t>(header.size());
    return std::string("\x93NUMPY", 6) + static_cast<char>(major) + '\0' + (major == 1 ? LE16(length) : LE32(length)) +
           header + data;
}

std::string TiffFile(const std::string& data, const std::vector<std::vector<TiffTag>>& pages) {
    std::string f = std::string("II*\0", 4) + LE32(0) + data;
    if (f.size() % 2) f += '\0';
    std::size_t nextPointer = 4;
    for (const std::vector<TiffTag>& tags : pages) {
        const auto ifd = static_cast<uint32_t>(f.size());
        f.replace(nextPointer, 4, LE32(ifd));
        const auto extraStart = static_cast<uint32_t>(ifd + 2 + 12 * tags.size() + 4);
        std::string entries, extra;
        for (const TiffTag& t : tags) {
            std::string values;
            for (uint32_t v : t.values) values += t.type == 3 ? LE16(v) : LE32(v);
            entries += LE16(t.tag) + LE16(t.type) + LE32(static_cast<uint32_t>(t.values.size()));
            if (values.size() <= 4) {
                entries += values + std::string(4 - values.size(), '\0');
            } else {
                entries += LE32(extraStart + static_cast<uint32_t>(extra.size()));
                extra += values;
            }
        }
        f += LE16(static_cast<uint32_t>(tags.size())) + entries;
        nextPointer = f.size();
        f += LE32(0) + extra;
        if (f.size() % 2) f += '\0';
    }
    return f;
}

regionfeat::Raster InProcess(const std::string& node, const std::string& greyPath, const std::string& labelPath) {
    std::unique_ptr<CPNode> n(registry::Create(node.c_str()));
    if (!n) throw std::runtime_error("no node " + node);
    auto grey = regionfeat::ToNodeImage(regionfeat::ReadImage(greyPath), false, greyPath);
    std::unique_ptr<CImage> labels;
    if (!labelPath.empty()) labels = regionfeat::ToNodeImage(regionfeat::ReadImage(labelPath), false, labelPath);
    CValuePointer<CImage> g(grey.get()), l(labels.get());
    n->SetStackInput(0, &g);
    if (labels) n->SetStackInput(1, &l);
    n->ReadParameters();
    n->Run();
    return regionfeat::FloatRasterOf(*UnwrapImage(n->StackOutput(0)));
}

namespace {
std::string Quoted(const std::string& word) {
    std::string q = "'";
    for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}
}  // namespace

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::string& stdoutPath) {
    const TempDir dir;
    const std::string out = stdoutPath.empty() ? dir / "out" : stdoutPath, err = dir / "err";
    std::string command = Quoted(program);
    for (const std::string& a : args) command.append(" ").append(Quoted(a));
    command.append(" </dev/null >").append(Quoted(out)).append(" 2>").append(Quoted(err));
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, stdoutPath.empty() ? ReadFile(out) : "", ReadFile(err)};
}

namespace {
jmp_buf g_pngJump;
void PngTestError(png_structp, png_const_charp) { longjmp(g_pngJump, 1); }
}  // namespace

bool WriteRawPng(const std::string& path, uint32_t w, int bits, int colour, const std::vector<std::string>& rows,
                 bool interlaced) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, PngTestError, nullptr);
    png_infop info = png_create_info_struct(png);
    std::vector<png_bytep> pointers;
    for (const std::string& r : rows) pointers.push_back(reinterpret_cast<png_bytep>(const_cast<char*>(r.data())));
    volatile bool ok = false;  // set between setjmp and a possible longjmp
    if (!setjmp(g_pngJump)) {
        png_init_io(png, f);
        png_set_IHDR(png, info, w, static_cast<uint32_t>(rows.size()), bits, colour,
                     interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                     PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        png_write_image(png, pointers.data());
        png_write_end(png, info);
        ok = true;
    }
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    return ok;
}

}  // namespace test
