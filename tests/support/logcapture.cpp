#include "logcapture.h"

#include <QMutex>

namespace {
QMutex g_mutex;
QList<LogRecord> g_records;
QtMessageHandler g_previous = nullptr;

void capture(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    QMutexLocker lock(&g_mutex);
    g_records.append({type, QString::fromUtf8(context.category), QString::fromUtf8(context.file),
                      QString::fromUtf8(context.function), text, context.line});
}
} // namespace

LogCapture::LogCapture() {
    clear();
    g_previous = qInstallMessageHandler(capture);
}

LogCapture::~LogCapture() {
    qInstallMessageHandler(g_previous);
}

const QList<LogRecord>& LogCapture::records() const {
    return g_records;
}

QList<LogRecord> LogCapture::from(const QString& function) const {
    QMutexLocker lock(&g_mutex);
    QList<LogRecord> matching;
    for (const LogRecord& r : g_records)
        if (r.function == function)
            matching.append(r);
    return matching;
}

void LogCapture::clear() {
    QMutexLocker lock(&g_mutex);
    g_records.clear();
}
