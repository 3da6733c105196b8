#pragma once

#include "Log.h"
#include "MainWindow.h"
#include "PreparedHome.h"
#include "StartupPrompts.h"

#include <QFile>
#include <QList>
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

// Collects the log lines as the diagnostics window would get them (area: line).
class LogRecorder
{
public:
    LogRecorder()
    {
        SetLogSink([this](const QString& i_area, const QString& i_line) { m_lines << i_area + ": " + i_line; });
    }
    ~LogRecorder() { SetLogSink(LogSink()); }

    // The texts of an area in order, without their time stamps.
    QStringList Texts(const QString& i_area) const
    {
        QStringList texts;
        const QString prefix = i_area + QStringLiteral(": ");
        for (const QString& line : m_lines) {
            if (!line.startsWith(prefix))
                continue;
            const int end = line.indexOf(QStringLiteral("] "));
            texts << (end < 0 ? line.mid(prefix.size()) : line.mid(end + 2));
        }
        return texts;
    }

    QStringList m_lines;
};
