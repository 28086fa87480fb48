#include "debugtext.h"
#include "librarypath.h"
#include "lumivarexwindow.h"

#include <QApplication>
#include <QDebug>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QCoreApplication::addLibraryPath(libraryPathFor(QCoreApplication::applicationDirPath()));
    const QStringList paths = QCoreApplication::libraryPaths();
    qDebug().noquote() << "libPath" << quotedList(paths);
    QCoreApplication::setLibraryPaths(paths);

    LumivarexWindow window;
    window.show();
    return app.exec();
}
