#pragma once

// Factories shared between the files of the sim library.

#include <memory>

#include "orvanta/sim/clipboard.hpp"

namespace orvanta::sim {

class FaultBoard;

std::shared_ptr<SimClipboard> make_sim_clipboard(std::shared_ptr<FaultBoard> faults);

}  // namespace orvanta::sim
