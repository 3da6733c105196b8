#include "StartupPrompts.h"

#include "ChangeUsernamePasswordDialog.h"

#include <QColorDialog>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QStringList>

namespace
{
class DialogPrompts : public StartupPrompts
{
public:
    void AskLogin(QWidget* ip_parent) override
    {
        ChangeUsernamePasswordDialog dialog(true, ip_parent);
        dialog.exec();
    }

    void Inform(QWidget* ip_parent, const QString& i_title, const QString& i_text) override
    {
        QMessageBox::information(ip_parent, i_title, i_text, QMessageBox::Ok);
    }
};

StartupPrompts* s_installed = nullptr;
} // namespace

StartupPrompts::~StartupPrompts() = default;

QMessageBox::StandardButton StartupPrompts::Ask(QWidget* ip_parent, const QString& i_title, const QString& i_text,
                                                QMessageBox::StandardButtons i_buttons,
                                                QMessageBox::StandardButton i_defaultButton)
{
    return QMessageBox::question(ip_parent, i_title, i_text, i_buttons, i_defaultButton);
}

StartupPrompts* StartupPrompts::Current()
{
    static DialogPrompts dialogs;
    return s_installed ? s_installed : &dialogs;
}

void StartupPrompts::Install(StartupPrompts* ip_prompts)
{
    s_installed = ip_prompts;
}

QColor StartupPrompts::PickColor(QWidget* ip_parent, const QColor& i_initial)
{
    return QColorDialog::getColor(i_initial, ip_parent);
}

QString StartupPrompts::ChooseFolder(QWidget* ip_parent, const QString& i_caption)
{
    QFileDialog dialog(ip_parent, i_caption);
    dialog.setFileMode(QFileDialog::Directory);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return dialog.selectedFiles().first();
}

QString StartupPrompts::PickFile(QWidget* ip_parent, const QString& i_title)
{
    return QFileDialog::getOpenFileName(ip_parent, i_title);
}

bool OpenOnDesktop(QWidget* ip_parent, const QList<QUrl>& i_urls)
{
    QStringList failed;
    for (const QUrl& url : i_urls)
        if (!QDesktopServices::openUrl(url))
            failed << (url.isLocalFile() ? QDir::toNativeSeparators(url.toLocalFile()) : url.toString());
    if (failed.isEmpty())
        return true;
    StartupPrompts::Current()->Inform(
        ip_parent, QStringLiteral("Cannot open"),
        QStringLiteral("The desktop could not open:\n%1").arg(failed.join(QLatin1Char('\n'))));
    return false;
}
