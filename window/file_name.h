#pragma once

#include <QString>

// The file "play" opens for the name typed. A name that names a file from the working directory,
// an absolute name, or an empty one is kept as it is. A relative name that names no file there
// is tried next from the program's own directory, then from the bin/ directory that the program's
// data directory mirrors (<prefix>/share/lumivarex/bin, which need not exist): the first that
// names a file wins. So the default ../demovideo/123.avi plays from build/bin wherever the
// program was started, and an installed /usr/bin/lumivarex finds
// /usr/share/lumivarex/demovideo/123.avi. When none does, the name comes back unchanged and play
// reports it as not found.
QString playableFileName(const QString& typed, const QString& programDir);
