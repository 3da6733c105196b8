// The main window's form: the connections its controls make as it is set up, and what opens the
// dialogs of the Options pages and the tool bar.
#include "MainWindow.h"
#include "ServerSchema.h"

#include "ChangeListeningPortDialog.h"
#include "ColorSelectionDialog.h"
#include "NewVersionDialog.h"
#include "StartupPrompts.h"
#include "WebPages.h"
#include "ui_MainWindow.h"

void MainWindow::ConnectForm()
{
    using Self = MainWindow;
    connect(ui->roomList, &QTreeWidget::itemSelectionChanged, this, &Self::OnRoomListItemSelectionChanged);
    connect(ui->roomsTabControl, &QTabWidget::tabCloseRequested, this, &Self::OnRoomTabClosed);
    connect(ui->optionsTabControl, &QTabWidget::currentChanged, this, &Self::OnOptionsTabSelectionChanged);

    connect(ui->uPnPCheckBox, &QCheckBox::toggled, this, &Self::OnUPnPCheckboxToggled);
    connect(ui->minimizeToTrayCheckBox, &QCheckBox::toggled, this, &Self::OnMinimizeToTrayCheckboxToggled);
    connect(ui->autoExpandSharesCheckBox, &QCheckBox::toggled, this, &Self::OnExpandNewSharesCheckboxToggled);
    connect(ui->chatTimestampsBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &Self::OnChatTimestampsBoxIndexChanged);
    connect(ui->selectColorsButton, &QPushButton::clicked, this, &Self::OnSelectColors);
    connect(ui->acceptUserListUploadsCheckBox, &QCheckBox::toggled, this,
            &Self::OnAcceptUserlistUploadsCheckboxToggled);
    connect(ui->selectPictureButton, &QPushButton::clicked, this, &Self::OnSelectPictureClicked);
    connect(ui->userDescriptionEdit, &QPlainTextEdit::textChanged, this, &Self::OnUserInfoTextChanged);
    connect(ui->clearPictureButton, &QPushButton::clicked, this, &Self::OnClearPictureClicked);
    connect(ui->checkPortsButton, &QPushButton::clicked, this, &Self::OnCheckPortsClicked);
    connect(ui->showAwayStatusCheckBox, &QCheckBox::clicked, this, &Self::OnShowAwayStatusClicked);
    connect(ui->userLevelLoggingCheckBox, &QCheckBox::clicked, this, &Self::OnUserLevelLoggingClicked);
    connect(ui->openGroupsOnUserAddCheckBox, &QCheckBox::clicked, this, &Self::OnOpenGroupsOnUserAddClicked);
    connect(ui->editExcludedExtensionsButton, &QPushButton::clicked, this,
            &Self::OnEditExcludedDownloadExtensionsClicked);
}

void MainWindow::OnOptionsTabSelectionChanged(int i_tabIndex)
{
    // The shared folders' list takes the focus, so the tool bar offers their actions.
    if (i_tabIndex >= 0 && ui->optionsTabControl->tabText(i_tabIndex) == QLatin1String("File Sharing"))
        ui->sharedFoldersList->setFocus();
}

void MainWindow::OnCheckPortsClicked()
{
    OpenOnDesktop(this, {PortTestPage(static_cast<int>(GetSettingNumber(settings::kListeningPort))),
                         PortTestPage(static_cast<int>(GetSettingNumber(settings::kObfuscatedListeningPort)))});
}

void MainWindow::OnSelectColors()
{
    (new ColorSelectionDialog(this))->show();
}

void MainWindow::OnNewVersion(qint64 i_version, QString i_downloadLink, QStringList i_description)
{
    auto* dialog = new NewVersionDialog(i_version, i_downloadLink, i_description, this);
    dialog->setWindowFlags(dialog->windowFlags() | Qt::WindowStaysOnTopHint);
    dialog->show();
}
