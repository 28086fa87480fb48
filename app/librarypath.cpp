#include "librarypath.h"

#include <QDir>

QString libraryPathFor(const QString& programDir) {
    QDir dir(programDir);
    dir.cdUp(); // on failure the directory stays where it was, which is what we want
    return QStringLiteral("%1/lib").arg(dir.path());
}
