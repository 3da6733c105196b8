#include "DownloadMenuOptions.h"

#include "SearchForm.h"
#include "Server.h"
#include "ServerSchema.h"
#include "StartupPrompts.h"
#include "TextUtils.h"
#include "TransferQueueManager.h"
#include "TransfersForm.h"
#include "TransfersSchema.h"
#include "TransfersUiSchema.h"
#include "WindowHost.h"

#include <QIcon>
#include <QMenu>
#include <QTreeWidgetItem>
#include <QUrl>

namespace
{
bool IsComplete(const ItemPtr& i_entry)
{
    return i_entry[types::kDownloadEntryStatus].AsString() == QLatin1String("complete");
}

bool IsActive(const ItemPtr& i_entry)
{
    return TransferQueueManager::IsActiveStatus(i_entry[types::kDownloadEntryStatus]);
}

ItemSet Unfinished(const ItemSet& i_entries)
{
    return i_entries.NotConnected(types::kDownloadEntryStatus, Value("complete"));
}

// The one item of the type linked to the entries, or null when they link to none or several.
ItemPtr OnlyOne(const ItemSet& i_entries, const char* i_type)
{
    const ItemSet linked = i_entries.GetItems(i_type);
    return linked.size() == 1 ? linked.First() : ItemPtr();
}

QTreeWidgetItem* RowOf(const ItemPtr& i_node)
{
    return i_node.AsPointer<QTreeWidgetItem>();
}

// Downloads' paths are kept with "\" between components.
void OpenLocal(const QString& i_path)
{
    OpenOnDesktop(MainWindowWidget(),
                  {QUrl::fromLocalFile(QString(i_path).replace(QLatin1Char('\\'), QLatin1Char('/')))});
}

QString SearchTextOf(const ItemPtr& i_entry)
{
    // The search windows relate downloads to the searches that found them.
    if (!d->HasType(types::kSearchRequestText)
        || !d->GetType(types::kDownloadEntry)->IsRelatedTo(d->GetType(types::kSearchRequestText)))
        return QString();
    return i_entry[types::kSearchRequestText].AsString();
}

const char kAlert[] = ":/icons/alert_icon";
} // namespace

DownloadMenuOptions::DownloadMenuOptions(QMenu* ip_menu, ItemSet i_entries, QObject* ip_parent)
    : QObject(ip_parent)
    , m_entries(std::move(i_entries))
{
    if (m_entries.empty())
        return;
    if (!ip_menu->actions().isEmpty())
        ip_menu->addSeparator();
    const ItemPtr first = m_entries.First();
    const bool several = m_entries.size() > 1;
    const QIcon transferIcon(QStringLiteral(":/icons/transfer_icon"));
    if (!several && IsComplete(first))
        ip_menu->addAction(QStringLiteral("Open File"), this, &DownloadMenuOptions::OnOpenFile);
    ip_menu->addAction(QStringLiteral("Open Folder"), this, &DownloadMenuOptions::OnOpenFolder);
    if (several)
        ip_menu->addAction(transferIcon, QStringLiteral("Retry downloads"), this,
                           &DownloadMenuOptions::OnRetryDownloads);
    else if (!IsComplete(first) && !IsActive(first))
        ip_menu->addAction(transferIcon, QStringLiteral("Retry download"), this,
                           &DownloadMenuOptions::OnRetryDownloads);
    ip_menu->addSeparator();
    ip_menu->addAction(transferIcon, several ? QStringLiteral("Remove downloads") : QStringLiteral("Remove download"),
                       this, &DownloadMenuOptions::OnRemoveDownloads);

    m_user = OnlyOne(m_entries, types::kUser);
    m_folder = OnlyOne(m_entries, types::kRemoteFolder);
    AddAlertEntries(ip_menu);

    m_searchText = SearchTextOf(first);
    if (!m_searchText.isEmpty())
        ip_menu->addAction(QIcon(QStringLiteral(":/icons/search_icon")),
                           QStringLiteral("Re-run Search: ") + MnemonicText(m_searchText), this,
                           &DownloadMenuOptions::OnRerunSearch);
}

void DownloadMenuOptions::AddAlertEntries(QMenu* ip_menu)
{
    QMenu* notify = ip_menu->addMenu(QIcon(QLatin1String(kAlert)), QStringLiteral("Notify me when..."));
    const ItemPtr first = m_entries.First();
    if (m_entries.size() == 1 && !first.IsConnected(types::kCompleteDownloadAlert) && !IsComplete(first))
        notify->addAction(QStringLiteral("File download completes"), this,
                          &DownloadMenuOptions::OnSetFileDownloadAlert);
    if (m_folder && m_user && !d->GetItem(m_user, m_folder, types::kCompleteDownloadAlert)
        && !Unfinished(m_folder.GetItems(types::kDownloadEntry).Connected(m_user)).empty())
        notify->addAction(QStringLiteral("Folder download completes"), this,
                          &DownloadMenuOptions::OnSetFolderDownloadAlert);
    if (m_user && m_user[types::kDownloadListUserNode].CountItems(types::kDownloadListFolderNode) > 1
        && m_user.GetItems(types::kCompleteDownloadAlert).NotConnected(types::kRemoteFolder).empty()
        && !Unfinished(m_user.GetItems(types::kDownloadEntry)).empty())
        notify->addAction(QStringLiteral("All downloads from user complete"), this,
                          &DownloadMenuOptions::OnSetUserDownloadAlert);
    if (notify->actions().isEmpty())
        delete notify;
}

void DownloadMenuOptions::OnOpenFile()
{
    if (const ItemPtr entry = m_entries.First())
        OpenLocal(transferQueueManager->GetDownloadTargetPath(entry, true));
}

void DownloadMenuOptions::OnOpenFolder()
{
    if (const ItemPtr entry = m_entries.First())
        OpenLocal(transferQueueManager->GetDownloadTargetFolder(entry, true));
}

// Entries removed while the menu was open read as null and are passed over.
void DownloadMenuOptions::OnRetryDownloads()
{
    for (const ItemPtr& entry : m_entries)
        if (entry)
            transferQueueManager->RequeueDownload(entry);
}

// Newest first, as the rows stand from the last up: nothing then moves down behind a removed one.
void DownloadMenuOptions::OnRemoveDownloads()
{
    for (auto entry = m_entries.end(); entry != m_entries.begin();)
        if (*--entry)
            transferQueueManager->RemoveDownload(*entry);
}

void DownloadMenuOptions::OnSetFileDownloadAlert()
{
    const ItemPtr entry = m_entries.First();
    const ItemPtr node = entry[types::kDownloadListNode];
    if (!node)
        return;
    RowOf(node)->setIcon(TransfersForm::FileColumn, QIcon(QLatin1String(kAlert)));
    d->GetType(types::kCompleteDownloadAlert)->NewItem().Connect(entry);
}

void DownloadMenuOptions::OnSetFolderDownloadAlert()
{
    const ItemPtr node = d->GetItem(m_folder, m_user[types::kDownloadListUserNode], types::kDownloadListFolderNode);
    if (!node)
        return;
    RowOf(node)->setIcon(TransfersForm::FolderColumn, QIcon(QLatin1String(kAlert)));
    ItemPtr alert = d->GetType(types::kCompleteDownloadAlert)->NewItem();
    alert.Connect(m_user);
    alert.Connect(m_folder);
}

void DownloadMenuOptions::OnSetUserDownloadAlert()
{
    const ItemPtr node = m_user[types::kDownloadListUserNode];
    if (!node)
        return;
    RowOf(node)->setIcon(TransfersForm::UserColumn, QIcon(QLatin1String(kAlert)));
    d->GetType(types::kCompleteDownloadAlert)->NewItem().Connect(m_user);
}

void DownloadMenuOptions::OnRerunSearch()
{
    // A search sent while not logged in is dropped without a word; an empty tab would read as
    // "nothing found".
    if (!gp_server->IsConnected())
    {
        StartupPrompts::Current()->Inform(MainWindowWidget(), QStringLiteral("Not connected"),
                                          QStringLiteral("You must be connected to search."));
        return;
    }
    const unsigned int token = gp_server->FileSearch(m_searchText, false);
    if (searchForm)
        searchForm->CreateSearchForm(token, m_searchText, NetworkSearch);
}
