#pragma once

// What the libraries are bound to on this platform: the client driver
// package (with its automation layer), the clipboard `clip` and the shell.
// The host binds them before `init` (the simulated client on this machine,
// the Windows layers on Windows); tests bind the simulated client.

#include <memory>

#include "orvanta/clipboard.hpp"
#include "orvanta/robot/export.hpp"
#include "orvanta/shared.hpp"
#include "orvanta/shell.hpp"
#include "orvanta/wxauto.hpp"

namespace orvanta {

struct Platform {
  Attribute<std::shared_ptr<wxauto::Driver>> wxauto{Owner{"platform"}, "wxauto"};
  Attribute<std::shared_ptr<Clipboard>> clip{Owner{"platform"}, "clip"};
  Attribute<std::shared_ptr<Shell>> shell{Owner{"platform"}, "shell"};

  void reset() {
    wxauto.reset();
    clip.reset();
    shell.reset();
  }
};

ORVANTA_ROBOT_EXPORT extern Platform platform;

}  // namespace orvanta
