#include "file_name.h"

#include <QDir>
#include <QFileInfo>

QString playableFileName(const QString& typed, const QString& programDir) {
    if (typed.isEmpty() || QFileInfo(typed).isFile() || QDir::isAbsolutePath(typed))
        return typed;
    const QString beside = QDir::cleanPath(QDir(programDir).filePath(typed));
    return QFileInfo(beside).isFile() ? beside : typed;
}
