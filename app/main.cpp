#include "debugtext.h"
#include "librarypath.h"
#include "lumivarexwindow.h"
#include "platform_choice.h"
#include "vout_extensions.h"

#include <QApplication>
#include <QDebug>

#include <cstdio>

int main(int argc, char* argv[]) {
    // Qt settles its platform when the application object is built, so choose it first.
    const PlatformChoice platform =
        choosePlatform(platformRequestOf(argc, argv, voutExtensions().setVideoRect != nullptr));
    if (!platform.platform.isEmpty())
        qputenv("QT_QPA_PLATFORM", platform.platform);
    if (!platform.notice.isEmpty())
        std::fprintf(stderr, "%s\n", qPrintable(platform.notice));

    QApplication app(argc, argv);
    const QString fallback = platformFallbackNotice(platform, QGuiApplication::platformName());
    if (!fallback.isEmpty())
        std::fprintf(stderr, "%s\n", qPrintable(fallback));
    QCoreApplication::addLibraryPath(libraryPathFor(QCoreApplication::applicationDirPath()));
    const QStringList paths = QCoreApplication::libraryPaths();
    qDebug().noquote() << "libPath" << quotedList(paths);
    QCoreApplication::setLibraryPaths(paths);

    LumivarexWindow window;
    window.show();
    return app.exec();
}
