#pragma once

#include <QColor>
#include <QList>
#include <QMessageBox>
#include <QString>
#include <QUrl>

class QWidget;

// The program's modal questions (those of the start-up and of the windows), behind one seam so
// that tests can answer them.
class StartupPrompts
{
public:
    virtual ~StartupPrompts();

    // First run: the login dialog; stores `username` and `password` when the user confirms both.
    virtual void AskLogin(QWidget* ip_parent) = 0;
    // An information box with one OK button.
    virtual void Inform(QWidget* ip_parent, const QString& i_title, const QString& i_text) = 0;
    // A question box with the buttons given; the button chosen (Escape gives the default).
    virtual QMessageBox::StandardButton Ask(QWidget* ip_parent, const QString& i_title, const QString& i_text,
                                            QMessageBox::StandardButtons i_buttons,
                                            QMessageBox::StandardButton i_defaultButton);

    // The prompts in use; the real dialogs unless a test installed its own (not owned).
    static StartupPrompts* Current();
    static void Install(StartupPrompts* ip_prompts);

    // The colour picker, starting at the colour given; an invalid colour when cancelled.
    virtual QColor PickColor(QWidget* ip_parent, const QColor& i_initial);
    // A folder chooser with that caption; the chosen folder, or "" when cancelled.
    virtual QString ChooseFolder(QWidget* ip_parent, const QString& i_caption);
    // A file dialog for one existing file, with no start folder and no filter; "" when cancelled.
    virtual QString PickFile(QWidget* ip_parent, const QString& i_title);
};

// Hands the addresses or local files to the desktop in turn, and tells the user in one message
// which of them it could not open (a desktop without a browser or file manager says nothing
// itself). False when any failed.
bool OpenOnDesktop(QWidget* ip_parent, const QList<QUrl>& i_urls);
