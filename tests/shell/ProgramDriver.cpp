// Linked with the program's own main.cpp into veltrane-driven: the real program, with a reader of
// one command a line on stdin so that a test can open the windows a user can open.
//   open NAME   opens that window by the road a user takes to it; answers "opened NAME N" once
//               the event loop runs again, N being the shown windows other than the main one
//   close       closes the main window, as its title bar's button does
#include "FilterHelpDialog.h"
#include "MainWindow.h"
#include "SearchForm.h"
#include "UserListForm.h"
#include "UserMenuOptions.h"
#include "UserTargets.h"

#include <QApplication>
#include <QMenu>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <map>
#include <unistd.h>

namespace
{
const QString kUser = QStringLiteral("ann");

void Action(const char* i_action)
{
    mainWindow->OnToolBarActionTriggered(nullptr, QLatin1String(i_action));
}

void FromUserMenu(void (UserMenuOptions::*ip_slot)())
{
    QMenu menu;
    UserMenuOptions options(&menu, kUser);
    (options.*ip_slot)();
}

const std::map<QString, std::function<void()>>& Openers()
{
    static const std::map<QString, std::function<void()>> openers{
        {"gift_privileges", [] { UserTargets::Open(UserTargets::GiftPrivileges, kUser); }},
        {"add_user", [] { UserTargets::Open(UserTargets::AddUserDialog, QString()); }},
        {"user_groups", [] { FromUserMenu(&UserMenuOptions::OnSetUserGroups); }},
        {"user_note", [] { FromUserMenu(&UserMenuOptions::OnUserNote); }},
        {"user_log", [] { FromUserMenu(&UserMenuOptions::OnUserLog); }},
        {"group_config",
         [] { mainWindow->findChild<UserListForm*>()->OnActionBarTriggered(nullptr, "configure_user_groups"); }},
        {"filter_help", [] { FilterHelpDialog::ShowHelp(mainWindow->findChild<SearchForm*>()); }},
        {"excluded_extensions", [] { mainWindow->OnEditExcludedDownloadExtensionsClicked(); }},
        {"rescan_report", [] { mainWindow->OnSharedFilesRescanned(1, 0); }},
        {"colours", [] { mainWindow->OnSelectColors(); }},
        {"admin_message", [] { mainWindow->OnAdminMessage(QStringLiteral("maintenance")); }},
        {"new_version",
         [] { mainWindow->OnNewVersion(99999, QStringLiteral("http://127.0.0.1/"), {QStringLiteral("new")}); }},
        {"create_room", [] { Action("create_room"); }},
        {"share_folder", [] { Action("share_folder"); }},
        {"listening_port", [] { Action("set_listening_port"); }},
        // Modal: these run their own event loop until answered.
        {"download_folder", [] { Action("set_download_folder"); }},
        {"login_while_online", [] { Action("set_user_pass"); }},
    };
    return openers;
}

int OtherShownWindows()
{
    int shown = 0;
    for (QWidget* window : QApplication::topLevelWidgets())
        shown += window->isVisible() && window != mainWindow;
    return shown;
}

class Driver : public QObject
{
public:
    explicit Driver(QObject* ip_parent)
        : QObject(ip_parent)
        , m_input(STDIN_FILENO, QSocketNotifier::Read, this)
    {
        connect(&m_input, &QSocketNotifier::activated, this, &Driver::OnInput);
    }

private:
    void OnInput()
    {
        char buffer[256];
        const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (count <= 0)
        {
            m_input.setEnabled(false);
            return;
        }
        m_pending.append(buffer, int(count));
        for (int end = m_pending.indexOf('\n'); end >= 0; end = m_pending.indexOf('\n'))
        {
            const QString line = QString::fromUtf8(m_pending.left(end)).trimmed();
            m_pending.remove(0, end + 1);
            // From the event loop, not from here: a modal window runs its own loop, in which the
            // next command must still be read.
            QTimer::singleShot(0, this, [line] { Run(line); });
        }
    }

    static void Run(const QString& i_line)
    {
        if (!mainWindow)
            return;
        if (i_line == QLatin1String("close"))
        {
            mainWindow->close();
            return;
        }
        const QString name = i_line.section(QLatin1Char(' '), 1);
        const auto opener = Openers().find(name);
        if (!i_line.startsWith(QLatin1String("open ")) || opener == Openers().end())
        {
            std::printf("unknown %s\n", qPrintable(i_line));
            std::fflush(stdout);
            return;
        }
        QTimer::singleShot(0, [name] {
            std::printf("opened %s %d\n", qPrintable(name), OtherShownWindows());
            std::fflush(stdout);
        });
        opener->second();
    }

    QSocketNotifier m_input;
    QByteArray m_pending;
};

void StartDriver()
{
    new Driver(qApp);
}
} // namespace

Q_COREAPP_STARTUP_FUNCTION(StartDriver)
