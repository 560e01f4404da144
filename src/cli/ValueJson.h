// The JSON form of host values, used by `describe --json` and by `.json` output.
//
// Every value is an object {"type": T, "value": V}, plus "meta": {...} when its
// meta map is not empty. T is one of bool, long, double, string, map, vector,
// image. Maps keep their insertion order; a vector is an array with null for a
// slot that was never set; a double that is not finite is the string "NaN",
// "Infinity" or "-Infinity"; an image is null when the pointer holds none, else
// {"pixel_type", "size": [x, y, z], "attributes": <map value>, "data": [...]}.
#pragma once

#include <nlohmann/json.hpp>

#include "kelo/Value.h"

namespace regionfeat {

using Json = nlohmann::ordered_json;

// The JSON form of a value.
Json ValueToJson(const KELO::CValue& value);

// A double as a JSON number, or "NaN", "Infinity", "-Infinity".
Json DoubleToJson(double value);

}  // namespace regionfeat
