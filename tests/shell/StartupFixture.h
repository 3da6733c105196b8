#pragma once

#include "DiagnosticsForm.h"
#include "MainWindow.h"
#include "PreparedHome.h"
#include "StartupPrompts.h"

#include <QFile>
#include <QList>
#include <QMap>
#include <QPair>
#include <QStringList>

#include <memory>

// Answers the start-up's modal questions the way a test tells it to.
class ScriptedPrompts : public StartupPrompts
{
public:
    void AskLogin(QWidget*) override
    {
        ++m_logins;
        for (auto setting = m_loginSettings.cbegin(); setting != m_loginSettings.cend(); ++setting)
            SetSetting(setting.key(), setting.value());
    }

    void Inform(QWidget*, const QString& i_title, const QString& i_text) override
    {
        m_informed.append(qMakePair(i_title, i_text));
    }

    int m_logins = 0;
    QMap<QString, QString> m_loginSettings;
    QList<QPair<QString, QString>> m_informed;
};

// The log lines of an area as the diagnostics tab shows them, without their time stamps,
// from a mark on.
class LogRecorder
{
public:
    QStringList Texts(const QString& i_area) const
    {
        QStringList texts;
        if (!diagnosticsForm)
            return texts;
        const QStringList lines = diagnosticsForm->AreaLines(i_area);
        for (int index = m_marks.value(i_area); index < lines.size(); ++index) {
            const int end = lines[index].indexOf(QStringLiteral("] "));
            texts << (end < 0 ? lines[index] : lines[index].mid(end + 2));
        }
        return texts;
    }

    // Later calls of Texts see only what is logged from now on.
    void Mark(const QString& i_area)
    {
        m_marks[i_area] = diagnosticsForm ? diagnosticsForm->AreaLines(i_area).size() : 0;
    }

private:
    QMap<QString, int> m_marks;
};
