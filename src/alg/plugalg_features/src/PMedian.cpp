#include "PMedian.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>
#include <vector>

#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "Median";
const char* const kFeatureName = "Median";

// The median of the grey values of the region's own pixels in plane 0. buffer
// only grows, so once it holds the largest box no region allocates.
double RegionMedian(const frame::RegionView& r, std::vector<double>& buffer) {
    const frame::Inputs& in = *r.inputs;
    const auto boxPixels = static_cast<std::size_t>(r.w * r.h);
    if (buffer.size() < boxPixels) buffer.resize(boxPixels);
    double* values = buffer.data();
    const float* grey = in.grey->Pixels<float>();
    const float* labels = in.labels->Pixels<float>();
    const auto label = static_cast<float>(r.info->label);

    // Row by row over the box. Every value is written at the end of the list and
    // kept by advancing the end only for the region's own numbers: no branch on
    // the label, whose edges are hard to predict. The write index never passes
    // the pixels visited, so it stays inside the box-sized buffer.
    std::size_t n = 0;     // numbers in the list
    std::size_t nNaN = 0;  // the region's NaN values, counted but not stored
    for (int64_t j = 0; j < r.h; ++j) {
        const int64_t row = (r.y0 + j) * in.W + r.x0;
        if (j + frame::kPrefetchRows < r.h) {
            frame::PrefetchRow(grey + row + frame::kPrefetchRows * in.W, r.w);
            frame::PrefetchRow(labels + row + frame::kPrefetchRows * in.W, r.w);
        }
        for (int64_t i = 0; i < r.w; ++i) {
            const float v = grey[row + i];
            const bool own = labels[row + i] == label;
            const bool isNaN = std::isnan(v);
            values[n] = v;
            n += static_cast<std::size_t>(own && !isNaN);
            nNaN += static_cast<std::size_t>(own && isNaN);
        }
    }

    // A region with no pixel in plane 0 (it occurs only in later planes) has no
    // median; it gets 0.0 like a label that does not occur, and nothing is read
    // from its empty list.
    const std::size_t total = n + nNaN;
    if (total == 0) return 0.0;
    // The element that would stand at total / 2 in ascending order: for an even
    // count the upper of the two middle values. NaN ranks above every number (the
    // plain less-than gives no order with NaN), so the numbers come first.
    const std::size_t k = total / 2;
    if (k >= n) return std::numeric_limits<double>::quiet_NaN();
    std::nth_element(values, values + k, values + n);
    return values[k];
}
}  // namespace

CPMedian::CPMedian() = default;
CPMedian::~CPMedian() = default;

void CPMedian::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.addParameters = [](CValueMap& params) { frame::Store(params, "empty_image_exception", new CValueBool(true)); };
    s.pluginSubType = "MedianFeaturePlugin";
    s.shortDescription = "some geometric features computed on the mask image";
    // One slot and no name in it; output 1 names the feature all the same.
    s.featureNamesSize = 1;
    s.descriptionHead =
        "BRIEF\nComputes the median of grey values for all regions in an image.\n\nComputes the median of grey values "
        "for all regions in an image.\n\n\nNOTE\nIf the number of pixels in the region is even then the right (non "
        "smaller)\nvalue ( b ) of the middle pair (a <= b) of the sorted values is taken.\n\n\n";
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times 8\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(= number of rows)";
    s.outputDocs[1] = "Value vector with the same information.";
    s.parameterDocs = {{"verbose", frame::kVerboseDoc}, {"data", "pointer to the data of the feature image"}};
    frame::DescribeSetup(setup, s);
}

void CPMedian::ReadParameters() { verbose = Parameters().EntryBool("verbose", verbose); }

void CPMedian::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const {
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures, [](int64_t) { return kFeatureName; });
}

void CPMedian::Run() {
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    // A missing input 1 reads the same whether it is not declared or not connected.
    plan.inputs.checks = {{frame::Check::GreyNull, "First input image is NULL"},
                          {frame::Check::GreyType, "The first input image is not of type IMAGE_GREY_F"},
                          {frame::Check::LabelNull, "second input image is NULL"},
                          {frame::Check::LabelType, "The label image is not of type IMAGE_GREY_F"}};
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.crop = frame::Crop::None;  // the values are read from both inputs directly
    plan.onNoRegions = [this] {
        if (Parameters().EntryBool("empty_image_exception", true)) return frame::NoRegions::Throw;
        std::cout << "WARNING! : " << "feature::Median::Run " << "The number of regions is zero!" << std::endl;
        return frame::NoRegions::EmptyRows;
    };
    std::vector<double> buffer;  // one list for every region
    plan.compute = [&buffer](const frame::RegionView& region, std::vector<double>& features) {
        features[0] = RegionMedian(region, buffer);
    };
    plan.buildValueVector = frame::ValueVectorCall(this, &CPMedian::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
