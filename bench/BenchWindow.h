#pragma once

// What a benchmark that runs the main window needs: a home folder of its own, where the window
// loads and saves its data file, and modal questions that nobody answers.

#include "StartupPrompts.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

class QuietPrompts : public StartupPrompts
{
public:
    void AskLogin(QWidget*) override {}
    void Inform(QWidget*, const QString&, const QString&) override {}
};

// A temporary folder made the home and runtime folder; it must exist before the application object.
struct PrivateHome
{
    PrivateHome()
    {
        qputenv("HOME", dir.path().toUtf8());
        QDir(dir.path()).mkdir(QStringLiteral("run"));
        QFile::setPermissions(dir.path() + QStringLiteral("/run"),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", (dir.path() + QStringLiteral("/run")).toUtf8());
    }
    QTemporaryDir dir;
};

// The application of a benchmark that runs the main window, in a home of its own.
class BenchApplication
{
public:
    BenchApplication(int& argc, char** argv)
        : m_app(argc, argv)
    {
        StartupPrompts::Install(&m_prompts);
    }
    ~BenchApplication() { StartupPrompts::Install(nullptr); }
    QString HomePath() const { return m_home.dir.path(); }

private:
    PrivateHome m_home;
    QApplication m_app;
    QuietPrompts m_prompts;
};
