#pragma once

#include "DiagnosticsForm.h"
#include "MainWindow.h"
#include "WindowFixture.h"

#include <QFile>
#include <QList>
#include <QPair>
#include <QStringList>

// The log lines of an area as the diagnostics tab shows them, without their time stamps.
inline QStringList LogTexts(const QString& i_area)
{
    QStringList texts;
    for (const QString& line : diagnosticsForm ? diagnosticsForm->AreaLines(i_area) : QStringList())
        texts << line.mid(line.indexOf(QLatin1String("] ")) + 2);
    return texts;
}
