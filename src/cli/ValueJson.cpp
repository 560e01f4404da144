#include "ValueJson.h"

#include <cmath>

#include "kelo/Image.h"

namespace regionfeat {

using namespace KELO;

namespace {

Json MapEntries(const CValueMap& map) {
    Json out = Json::object();
    for (const auto& [key, value] : map.Entries()) out[key] = value ? ValueToJson(*value) : Json(nullptr);
    return out;
}

template <class T>
Json Samples(const CImage& image, std::size_t n) {
    Json data = Json::array();
    const T* p = image.Pixels<T>();
    for (std::size_t i = 0; i < n; ++i) {
        if constexpr (std::is_floating_point_v<T>)
            data.push_back(DoubleToJson(static_cast<double>(p[i])));
        else
            data.push_back(p[i]);
    }
    return data;
}

Json ImageValue(const CImage* image) {
    if (!image) return nullptr;
    const CSize s = image->Size();
    Json out = Json::object();
    out["pixel_type"] = image->Type().Name();
    out["size"] = Json::array({s.x, s.y, s.z});
    // The attribute map in the same form as every other value.
    out["attributes"] = ValueToJson(image->Attributes());
    const auto n = static_cast<std::size_t>(s.Count());
    const CPixelType t = image->Type();
    if (t == IMAGE_GREY_F)
        out["data"] = Samples<float>(*image, n);
    else if (t == IMAGE_GREY_8 || t == IMAGE_BINARY_FG)
        out["data"] = Samples<uint8_t>(*image, n);
    else if (t == IMAGE_GREY_16)
        out["data"] = Samples<uint16_t>(*image, n);
    else if (t == IMAGE_GREY_32)
        out["data"] = Samples<uint32_t>(*image, n);
    else
        out["data"] = nullptr;
    return out;
}

}  // namespace

Json DoubleToJson(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
    return value;
}

Json ValueToJson(const CValue& value) {
    Json out = Json::object();
    const EValueType type = value.Type();
    out["type"] = ValueTypeName(type);
    switch (type) {
        case EValueType::Bool: out["value"] = value.Bool(); break;
        case EValueType::Long: out["value"] = value.Long(); break;
        case EValueType::Double: out["value"] = DoubleToJson(value.Double()); break;
        case EValueType::String: out["value"] = value.String(); break;
        case EValueType::Map: out["value"] = MapEntries(static_cast<const CValueMap&>(value)); break;
        case EValueType::Vector: {
            Json slots = Json::array();
            for (const auto& slot : static_cast<const CValueVector&>(value).Vector())
                slots.push_back(slot ? ValueToJson(*slot) : Json(nullptr));
            out["value"] = std::move(slots);
            break;
        }
        case EValueType::Image: out["value"] = ImageValue(static_cast<const CValueImageBase&>(value).Get()); break;
    }
    if (value.HasMeta()) out["meta"] = MapEntries(*value.MetaIfAny());
    return out;
}

}  // namespace regionfeat
