#pragma once

// The Windows API for code that also uses the system's platform interfaces.
// <windows.h> defines CF_HDROP, CF_UNICODETEXT and FindWindow as macros,
// which would rewrite the interfaces' names of the same spelling
// (Clipboard::CF_HDROP, wxauto's FindWindow). This header reads the
// interfaces first and then drops those macros; the constants keep their
// values through the interface (CF_HDROP 15, CF_UNICODETEXT 13), and the
// Win32 functions are called by their wide names (FindWindowW).
// Include the Windows headers only through this one.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif

// clang-format off
#include "orvanta/clipboard.hpp"
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
// clang-format on

#undef CF_HDROP
#undef CF_UNICODETEXT
#undef FindWindow

static_assert(orvanta::Clipboard::CF_HDROP == 15 && orvanta::Clipboard::CF_UNICODETEXT == 13,
              "the clipboard interface's formats are the Windows ones");
