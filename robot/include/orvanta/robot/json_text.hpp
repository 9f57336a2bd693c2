#pragma once

// JSON text in the form every record leaving the system takes (store member
// lists, records sent to the group-management server): the form of Python's
// json.dumps with its default settings, so that the server and the store see
// the same bytes the system has always produced.

#include <string>

#include "orvanta/json.hpp"
#include "orvanta/robot/export.hpp"

namespace orvanta::robot {

// Writes `value` as JSON text:
// - items separated by ", ", keys from values by ": ", no line breaks;
// - object keys in the mapping's own order;
// - every character outside printable ASCII as \uXXXX with four lowercase hex
//   digits (characters beyond the basic plane as a UTF-16 surrogate pair),
//   except the short escapes \" \\ \n \r \t \b \f; "/" is not escaped;
// - integers in plain decimal, floating-point numbers in their shortest
//   round-trip form as Python prints them ("1.0", "1e+20", "NaN",
//   "Infinity", "-Infinity").
// Raises ValueError for a text that is not valid UTF-8 and TypeError for a
// binary value, which has no JSON form.
ORVANTA_ROBOT_EXPORT std::string json_dumps(const orvanta::Json& value);

// A number of seconds as Python's str() of a float writes it: the shortest
// text that reads back as the same value, "0.5", "12.0", "1e-05", "1e+16",
// "nan", "inf", "-inf".
ORVANTA_ROBOT_EXPORT std::string python_float_text(double value);

}  // namespace orvanta::robot
