#pragma once

// What a benchmark that runs the main window needs: a home folder of its own, where the window
// loads and saves its data file, and modal questions that nobody answers.

#include "StartupPrompts.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

class QuietPrompts : public StartupPrompts
{
public:
    void AskLogin(QWidget*) override {}
    void Inform(QWidget*, const QString&, const QString&) override {}
};

// Makes the folder the home and runtime folder; call before the application object exists.
inline void UsePrivateHome(const QTemporaryDir& i_home)
{
    qputenv("HOME", i_home.path().toUtf8());
    QDir(i_home.path()).mkdir(QStringLiteral("run"));
    QFile::setPermissions(i_home.path() + QStringLiteral("/run"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", (i_home.path() + QStringLiteral("/run")).toUtf8());
}
