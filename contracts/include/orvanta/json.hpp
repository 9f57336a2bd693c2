#pragma once

#include <nlohmann/json.hpp>

namespace orvanta {

// Mappings of the system (window message info, store rows, task arguments,
// server records) keep their keys in insertion order, so that a record
// written out as JSON text lists its keys in the order it was built.
using Json = nlohmann::ordered_json;

}  // namespace orvanta
