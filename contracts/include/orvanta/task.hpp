#pragma once

// A client task record: the action to run on the listening thread and its
// keyword arguments ("action" and "kwargs").

#include <string>

#include "orvanta/json.hpp"

namespace orvanta {

struct TaskRecord {
  std::string action;
  Json kwargs = Json::object();
};

}  // namespace orvanta
