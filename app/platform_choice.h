#pragma once

// Which of Qt's platforms the bench runs on. olm_vout draws on X11 windows and, in a library
// that takes Wayland hosts, in a rectangle of a Wayland surface; Qt picks its platform when the
// application object is built, so the choice is made before that, from the environment, the
// command line and what the loaded library offers.

#include <QByteArray>
#include <QString>

struct PlatformRequest {
    QByteArray qpaPlatform;           // $QT_QPA_PLATFORM
    QByteArray waylandDisplay;        // $WAYLAND_DISPLAY
    QByteArray x11Display;            // $DISPLAY
    bool platformArgument = false;    // -platform NAME on the command line
    bool libraryTakesWayland = false; // olm_vout exports olm_vout_set_video_rect
};

struct PlatformChoice {
    QByteArray platform; // for $QT_QPA_PLATFORM; empty: leave the choice to the user's setting
    QString notice;      // one console line telling the user why, or empty
};

// The rule:
//  - the user's own choice ($QT_QPA_PLATFORM, or -platform) stands;
//  - a Wayland session ($WAYLAND_DISPLAY set) runs natively on Wayland when the library takes
//    Wayland hosts (with XWayland behind it, should Qt fail to start on Wayland), and on XWayland
//    otherwise, with a line saying so; without an X display to fall back to it stays on Wayland,
//    without video;
//  - anything else runs on X11, as it always has.
PlatformChoice choosePlatform(const PlatformRequest& request);

// The request of this process: its environment and arguments.
PlatformRequest platformRequestOf(int argc, char** argv, bool libraryTakesWayland);

// Once the application object exists: a line when Wayland was chosen but Qt could not start
// there and fell back to X11 (platformName is QGuiApplication::platformName()), or empty.
QString platformFallbackNotice(const PlatformChoice& choice, const QString& platformName);
