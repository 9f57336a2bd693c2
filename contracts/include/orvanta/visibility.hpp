#pragma once

// Interface classes and error types cross shared-library boundaries (they are
// thrown in one library and caught in another, or implemented in one and
// called through in another), so their type information must be visible even
// though the libraries hide everything else by default.
#if defined(_WIN32)
#define ORVANTA_INTERFACE
#else
#define ORVANTA_INTERFACE __attribute__((visibility("default")))
#endif
