#pragma once

// The error kinds that callers tell apart. Ordinary errors derive from
// std::exception; code that "catches every ordinary error" catches
// std::exception. Cancellation of an asynchronous task is not an ordinary
// error (see cancellation.hpp in the robot library).

#include <stdexcept>
#include <string>

#include "orvanta/visibility.hpp"

namespace orvanta {

// A value had the right type but could not be used (a store that cannot
// insert after a record, a clipboard without files, a malformed name).
class ORVANTA_INTERFACE ValueError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An argument of the wrong type was passed.
class ORVANTA_INTERFACE TypeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A required attribute is not set (for example a shared-state attribute the
// host never supplied, or a handler slot with nothing installed).
class ORVANTA_INTERFACE AttributeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A sequence was indexed past its end.
class ORVANTA_INTERFACE IndexError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A mapping was read by a key it does not hold.
class ORVANTA_INTERFACE KeyError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A user-interface control could not be found where it had to be.
class ORVANTA_INTERFACE LookupError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The message store failed (I/O, constraint, malformed statement).
class ORVANTA_INTERFACE DatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The operating system or a platform service refused an operation
// (the clipboard held by another program, a file that cannot be read).
class ORVANTA_INTERFACE OSError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace orvanta
