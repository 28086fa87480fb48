#include "file_name.h"

#include <QDir>
#include <QFileInfo>

QString playableFileName(const QString& typed, const QString& programDir) {
    if (typed.isEmpty() || QFileInfo(typed).isFile() || QDir::isAbsolutePath(typed))
        return typed;
    // LUMIVAREX_DATA_DIR is the data directory relative to the program's, as installed.
    const QString dataBin = QDir(programDir).filePath(QStringLiteral(LUMIVAREX_DATA_DIR "/bin"));
    for (const QString& dir : {programDir, dataBin}) {
        const QString candidate = QDir::cleanPath(QDir(dir).filePath(typed));
        if (QFileInfo(candidate).isFile())
            return candidate;
    }
    return typed;
}
