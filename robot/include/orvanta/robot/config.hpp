#pragma once

// The one process-wide shared state object.

#include "orvanta/config.hpp"
#include "orvanta/robot/export.hpp"

namespace orvanta {

ORVANTA_ROBOT_EXPORT extern Config config;

}  // namespace orvanta
