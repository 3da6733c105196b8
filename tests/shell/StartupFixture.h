#pragma once

#include "DiagnosticsForm.h"
#include "MainWindow.h"
#include "PreparedHome.h"
#include "StartupPrompts.h"

#include <QFile>
#include <QList>
#include <QPair>
#include <QStringList>

// Answers the start-up's modal questions as a user who closes the login dialog would.
class ScriptedPrompts : public StartupPrompts
{
public:
    void AskLogin(QWidget*) override { ++m_logins; }
    void Inform(QWidget*, const QString& i_title, const QString& i_text) override
    {
        m_informed.append({i_title, i_text});
    }

    int m_logins = 0;
    QList<QPair<QString, QString>> m_informed;
};

// The log lines of an area as the diagnostics tab shows them, without their time stamps.
inline QStringList LogTexts(const QString& i_area)
{
    QStringList texts;
    for (const QString& line : diagnosticsForm ? diagnosticsForm->AreaLines(i_area) : QStringList())
        texts << line.mid(line.indexOf(QLatin1String("] ")) + 2);
    return texts;
}
