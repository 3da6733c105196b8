#pragma once

// A whole run of the main window for the window tests: the real start-up on a data file of quiet
// settings (no UPnP, listening ports of its own), logged in to a loopback test server as
// "tester". Modal questions go to `prompts` (questions get its scripted answers, else the
// default button); the icon and tray calls land in `calls`.
//   WindowRun run;
//   QVERIFY(run.Start());                          // `actionBar`, `eventToolBar`, `gp_server`...
//   run.server.WaitForFrames(SM_SOME_CODE, 1, QStringLiteral("tester"));
// Link the test with shell and testserver.

#include "ActionSetToolBar.h"
#include "EventToolBar.h"
#include "MainWindow.h"
#include "PreparedHome.h"
#include "Server.h"
#include "StartupPrompts.h"
#include "TestServer.h"

#include <QAction>
#include <QFile>
#include <QList>
#include <QPair>
#include <QPointer>
#include <QTest>
#include <QToolButton>

#include <algorithm>
#include <memory>

// Answers the modal questions as a user who closes the login dialog would, and keeps what the
// information boxes said and the parent every prompt was given.
class ScriptedPrompts : public StartupPrompts
{
public:
    void AskLogin(QWidget* ip_parent) override
    {
        ++m_logins;
        m_parents.append(ip_parent);
    }
    void Inform(QWidget* ip_parent, const QString& i_title, const QString& i_text) override
    {
        m_informed.append({i_title, i_text});
        m_parents.append(ip_parent);
    }
    // Answers with the next of m_answers, or the default button when none is left.
    QMessageBox::StandardButton Ask(QWidget* ip_parent, const QString& i_title, const QString& i_text,
                                    QMessageBox::StandardButtons, QMessageBox::StandardButton i_defaultButton) override
    {
        m_asked.append({i_title, i_text});
        m_parents.append(ip_parent);
        return m_answers.isEmpty() ? i_defaultButton : m_answers.takeFirst();
    }
    // The next of m_folders, or "" (cancelled) when none is left.
    QString ChooseFolder(QWidget* ip_parent, const QString& i_caption) override
    {
        m_asked.append({i_caption, QString()});
        m_parents.append(ip_parent);
        return m_folders.isEmpty() ? QString() : m_folders.takeFirst();
    }

    // The next of m_picked, or "" (cancelled) when none is left.
    QString PickFile(QWidget* ip_parent, const QString& i_title) override
    {
        m_pickTitles.append(i_title);
        m_parents.append(ip_parent);
        return m_picked.isEmpty() ? QString() : m_picked.takeFirst();
    }

    // Whether every prompt so far sat over this window: its parent was the window or a widget in
    // it. A prompt without a parent floats free of the window and fails.
    bool AllOver(const QWidget* ip_window) const
    {
        return std::all_of(m_parents.begin(), m_parents.end(), [ip_window](const QPointer<QWidget>& i_parent) {
            return i_parent && i_parent->window() == ip_window;
        });
    }

    QStringList m_picked, m_pickTitles;
    int m_logins = 0;
    QList<QPair<QString, QString>> m_informed;
    QList<QPair<QString, QString>> m_asked;
    QList<QMessageBox::StandardButton> m_answers;
    QStringList m_folders;
    QList<QPointer<QWidget>> m_parents;
};

// The texts of the notification bar's buttons, left to right.
inline QStringList EventTexts()
{
    QStringList texts;
    for (QAction* action : eventToolBar->actions())
        texts << action->text();
    return texts;
}

// The texts of the context tool bar's buttons shown for the widget with the focus.
inline QStringList ShownButtons()
{
    QStringList shown;
    for (QAction* action : actionBar->actions())
        if (qobject_cast<QToolButton*>(actionBar->widgetForAction(action)) && action->isVisible()
            && !action->text().isEmpty())
            shown << action->text();
    return shown;
}

struct WindowRun
{
    WindowRun()
    {
        StartupPrompts::Install(&prompts);
        MainWindow::InstallRecorder(&calls);
    }
    ~WindowRun()
    {
        window.reset();
        MainWindow::InstallRecorder(nullptr);
        StartupPrompts::Install(nullptr);
        QFile::remove(MainWindow::DataFilePath());
    }

    // Starts the main window with these settings over the quiet ones; with i_login, waits until
    // it is logged in. False when something failed on the way.
    bool Start(const QMap<QString, QString>& i_settings = {}, bool i_login = true)
    {
        if (!server.Listen())
            return false;
        server.AddAccount(QStringLiteral("tester"), QStringLiteral("secret"));
        QMap<QString, QString> settings = QuietSettings();
        settings.insert({{"server_host", "127.0.0.1"}, {"server_port", QString::number(server.Port())}});
        if (i_login)
            settings.insert({{"username", "tester"}, {"password", "secret"}});
        settings.insert(i_settings);
        if (!WriteDataFile(MainWindow::DataFilePath(), settings))
            return false;
        window = std::make_unique<MainWindow>();
        window->show();
        window->Init();
        return !i_login || QTest::qWaitFor([] { return gp_server->IsConnected(); }, 10000);
    }

    TestServer server;
    ScriptedPrompts prompts;
    MainWindow::CallRecorder calls;
    std::unique_ptr<MainWindow> window;
};
