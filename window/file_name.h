#pragma once

#include <QString>

// The file "play" opens for the name typed: the name itself when it names a file from the working
// directory; else, for a relative name that names a file from the program's own directory, that
// file (so the default ../demovideo/123.avi plays wherever the program was started from); else
// the name unchanged, which play then reports as not found.
QString playableFileName(const QString& typed, const QString& programDir);
