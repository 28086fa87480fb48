#include "debugtext.h"

QString quoted(const QString& text) {
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QString quotedList(const QStringList& list) {
    QString text = QStringLiteral("(");
    for (qsizetype i = 0; i < list.size(); ++i) {
        if (i > 0)
            text += QStringLiteral(", ");
        text += quoted(list.at(i));
    }
    return text + QLatin1Char(')');
}
