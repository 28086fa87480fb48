#pragma once

// Captures Qt's debug records with their context while an instance lives.

#include <QList>
#include <QString>
#include <QtGlobal>

struct LogRecord {
    QtMsgType type;
    QString category, file, function, text;
    int line;
};

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const QList<LogRecord>& records() const;
    // Records whose function signature is exactly the given one.
    QList<LogRecord> from(const QString& function) const;
    void clear();
};
