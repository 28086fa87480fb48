#include "platform_choice.h"

#include <cstring>

namespace {

const QByteArray waylandThenX11 = QByteArrayLiteral("wayland;xcb");

} // namespace

PlatformChoice choosePlatform(const PlatformRequest& request) {
    if (!request.qpaPlatform.isEmpty() || request.platformArgument)
        return {};
    if (request.waylandDisplay.isEmpty())
        return {QByteArrayLiteral("xcb"), {}};
    const bool x11 = !request.x11Display.isEmpty();
    if (request.libraryTakesWayland)
        return {x11 ? waylandThenX11 : QByteArrayLiteral("wayland"), {}};
    if (x11)
        return {QByteArrayLiteral("xcb"),
                QStringLiteral("olm_vout takes no Wayland host: the window runs on XWayland")};
    return {QByteArrayLiteral("wayland"),
            QStringLiteral("olm_vout takes no Wayland host and there is no X display: the window "
                           "runs on Wayland without video")};
}

PlatformRequest platformRequestOf(int argc, char** argv, bool libraryTakesWayland) {
    PlatformRequest request;
    request.qpaPlatform = qgetenv("QT_QPA_PLATFORM");
    request.waylandDisplay = qgetenv("WAYLAND_DISPLAY");
    request.x11Display = qgetenv("DISPLAY");
    request.libraryTakesWayland = libraryTakesWayland;
    // Qt takes "-platform NAME" and "--platform NAME".
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            request.platformArgument = true;
    return request;
}

QString platformFallbackNotice(const PlatformChoice& choice, const QString& platformName) {
    if (choice.platform != waylandThenX11 || platformName.startsWith(QLatin1String("wayland")))
        return {};
    return QStringLiteral("Qt could not start on Wayland: the window runs on XWayland");
}
