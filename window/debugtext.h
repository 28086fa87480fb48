#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

// Text pieces for debug records. Qt's own streaming of QString escapes embedded quotes; our
// records enclose strings in plain double quotes and print them unchanged, so callers build the
// text with these helpers and stream it with noquote().

// The string between two double-quote characters, with nothing escaped.
QString quoted(const QString& text);

// "(" + each entry quoted, separated by ", " + ")".
QString quotedList(const QStringList& list);

// A native window id widened without sign, so it never prints negative.
inline qint64 windowIdForLog(WId id) {
    return static_cast<qint64>(static_cast<quint64>(id));
}
