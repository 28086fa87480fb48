#pragma once

// What the run is made against: the X server's identity (or the Wayland compositor's socket), and
// whether the screen reads back.

#include "run/results.h"

#include <string>

// Connects to display, describes the server and checks that a plain X pattern reads back.
// False when the server cannot be reached. The connection is closed again before it returns, so
// that no check inherits it.
bool probeServer(const std::string& display, double timeoutFactor, ServerInfo* info);
// One line naming the server or compositor: "X server :1: The X.Org Foundation release ...".
std::string describeServer(const ServerInfo& server);
// The same as probeServer for the Wayland compositor named by $WAYLAND_DISPLAY: a surface of its
// own is shown, painted and read back through the compositor's screenshooter.
bool probeCompositor(double timeoutFactor, ServerInfo* info);
// How much longer than usual one look at the screen took (ServerInfo::lookMs), 1 to 4: a loaded
// machine or a slow read-back stretches every time limit of the run by it, on top of
// --timeout-factor. The checks wait on the screen, so its speed sets their pace.
double speedFactor(const ServerInfo& server);
