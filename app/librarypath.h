#pragma once

#include <QString>

// The "lib" directory beside the program's own: the parent of programDir with "/lib" appended,
// or programDir itself with "/lib" appended when it has no parent to move to.
QString libraryPathFor(const QString& programDir);
