#pragma once

// Drives a LumivarexWindow as a user does: clicks its buttons, types the file name, and closes
// any message box a click opens (noting its title and text).

#include "xhelpers.h"

#include <QRect>
#include <QString>

class LumivarexWindow;

struct BoxSeen {
    QString title, text;
    int count = 0;
};

BoxSeen clickButton(LumivarexWindow& window, const char* objectName);
void setFileName(LumivarexWindow& window, const QString& name);
// Pictures put into the current output so far (0 without one).
unsigned long long picturesPut();

// The pixels the video panel shows: read back from the X server (the panel's native window) or,
// on Wayland, from the compositor (see videoPanelOnScreen). Empty when they cannot be read.
Snapshot grabVideoPanel(LumivarexWindow& window);

// The smallest rectangle holding every pixel of the snapshot within tolerance of colour (empty
// when there is none).
QRect areaOfColour(const Snapshot& s, const Rgb& colour, int tolerance);

// On Wayland, where the compositor places the window as it likes: the whole screen in *screen
// and where the video panel lies in it, found by a marker colour given to the panel's tab page
// (so the panel's tab must be showing). An empty rectangle when the marker is not on screen.
QRect videoPanelOnScreen(LumivarexWindow& window, Snapshot* screen);
