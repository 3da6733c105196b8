#include "Log.h"

#include <QDateTime>

#include <cstdio>

void Log(const QString& i_area, int i_level, const QString& i_text, ItemPtr)
{
    const QString indent(3 * qMax(0, i_level - 1), QLatin1Char(' '));
    const QString line = QLatin1Char('[') + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
        + QStringLiteral("] ") + i_area + QStringLiteral(": ") + indent + i_text;
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
}
