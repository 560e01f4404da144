#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

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

NodeHarness::NodeHarness(CPNode* node) : m_node(node) {}
NodeHarness::~NodeHarness() = default;

void NodeHarness::Connect(int index, std::unique_ptr<CImage> image) {
    if (!image) {
        m_node->SetStackInput(index, nullptr);
        m_inputs[index].reset();
        return;
    }
    m_inputs[index] = std::make_unique<CValueOwnedPointer<CImage>>(image.release(), 1);
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

}  // namespace test
