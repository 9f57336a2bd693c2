#pragma once

// Internal to the conductor library.

#include <memory>

#include "orvanta/conductor/conductor.hpp"

namespace orvanta::conductor {

// Makes `thread` the one current_listening_thread() gives.
void set_current_listening_thread(std::shared_ptr<ListeningThread> thread);

}  // namespace orvanta::conductor
