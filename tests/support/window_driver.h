#pragma once

// Drives a LumivarexWindow as a user does: clicks its buttons, types the file name, and closes
// any message box a click opens (noting its title and text).

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
