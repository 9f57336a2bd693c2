#pragma once

// The operations of robot that the conductor calls: window processing, the
// group check, history synchronisation, client health, the group directory,
// picture keys and quoted replies.

#include "orvanta/robot/client_health.hpp"
#include "orvanta/robot/group_check.hpp"
#include "orvanta/robot/group_directory.hpp"
#include "orvanta/robot/history_sync.hpp"
#include "orvanta/robot/image_capture.hpp"
#include "orvanta/robot/quote_reply.hpp"
#include "orvanta/robot/window_processing.hpp"
