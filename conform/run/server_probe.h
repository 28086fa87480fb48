#pragma once

// What the run is made against: the X server's identity, and whether the screen reads back.

#include "run/results.h"

#include <string>

// Connects to display, describes the server and checks that a plain X pattern reads back.
// False when the server cannot be reached. The connection is closed again before it returns, so
// that no check inherits it.
bool probeServer(const std::string& display, double timeoutFactor, ServerInfo* info);
