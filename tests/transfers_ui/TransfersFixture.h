#pragma once

// The transfers tab over the real transfer engine, shares engine and store (the queue fixture:
// a clock the test sets, a recording outbox, shared files in a temporary folder), with the
// shell's real tool bar, notification bar and size memory, inside a tab titled "Transfers".
// Progress is reported as the engine does it: position and speed cells on the entry, then the
// engine's signal.

#include "ActionSetToolBar.h"
#include "EventToolBar.h"
#include "QueueFixture.h"
#include "SizeManager.h"
#include "TransferCells.h"
#include "TransfersForm.h"

#include <QColor>
#include <QDesktopServices>
#include <QProgressBar>
#include <QTabWidget>
#include <QTreeWidget>

#include <functional>

// Addresses the window hands to the desktop, instead of opening them.
class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    UrlRecorder()
    {
        for (const char* scheme : {"file", "http", "https"})
            QDesktopServices::setUrlHandler(QLatin1String(scheme), this, "Open");
    }
    ~UrlRecorder() override
    {
        for (const char* scheme : {"file", "http", "https"})
            QDesktopServices::unsetUrlHandler(QLatin1String(scheme));
    }
    QList<QUrl> urls;

public slots:
    void Open(const QUrl& i_url) { urls << i_url; }
};

class TransfersFixture : public QueueFixture
{
public:
    // i_beforeLoad runs after the form's set-up and before the end of loading, as the data file's
    // entries would; the data file is read from i_dataFile, or it is a first start. Real
    // transfers need the real clock.
    explicit TransfersFixture(const std::function<void(TransfersFixture&)>& i_beforeLoad = {},
                              const QString& i_dataFile = QString(), bool i_testClock = true)
        : QueueFixture(i_testClock)
    {
        m_toolBar = std::make_unique<ActionSetToolBar>();
        actionBar->Init();
        m_eventBar = std::make_unique<EventToolBar>();
        m_sizes = std::make_unique<SizeManager>();
        // Settings are saved as the main window has them saved.
        dataSaver->AddSavedType("global");
        dataSaver->AddSavedByConnectionType("global_value", "global");
        SetSetting(QStringLiteral("color_transfer_queued"), QColor(51, 102, 255).name());
        SetSetting(QStringLiteral("color_transfer_complete"), QColor(0, 100, 0).name());
        SetSetting(QStringLiteral("color_transfer_in_progress"), QColor(0, 0, 255).name());
        SetSetting(QStringLiteral("color_transfer_failed"), QColor(255, 10, 71).name());
        SetSetting(QStringLiteral("color_transfer_other"), QColor(0, 0, 0).name());

        form = new TransfersForm;
        tabs.addTab(new QWidget, QStringLiteral("Rooms"));
        tabs.addTab(form, QStringLiteral("Transfers"));
        form->Init();
        downloads = form->findChild<QTreeWidget*>(QStringLiteral("downloadsList"));
        uploads = form->findChild<QTreeWidget*>(QStringLiteral("uploadsList"));
        if (i_beforeLoad)
            i_beforeLoad(*this);
        if (i_dataFile.isEmpty())
            dataSaver->NotifyFirstStart();
        else
            dataSaver->Load(i_dataFile);
    }

    ~TransfersFixture()
    {
        // Upload position cells belong to whoever unlinks them.
        for (const ItemPtr& cell : d->GetType("read_position")->GetItems())
            if (ItemPtr entry = cell["upload_entry"])
            {
                delete cell.AsPointer<PositionCell>();
                entry.Disconnect(cell);
            }
        delete form;
    }

    ItemPtr Download(const QString& i_user, const QString& i_folder, const QString& i_file, qint64 i_size = 1000)
    {
        return engine->AddDownload(i_user, i_file.toStdString(), i_folder.toStdString(), i_size, 0);
    }
    // An upload of a new shared file, asked for by the user.
    ItemPtr Upload(const QString& i_user, const QString& i_file, qint64 i_size = 1000)
    {
        const QString path = ShareFiles({i_file}, i_size).first();
        sharedFoldersManager->RescanShares();
        engine->OnQueueUploadRequested(i_user, Remote(path));
        return QueueFixture::Upload(i_user, Remote(path));
    }
    void SetStatus(const ItemPtr& i_entry, const QString& i_status)
    {
        if (IsUpload(i_entry))
            engine->SetUploadEntryStatus(i_entry, i_status);
        else
            engine->SetDownloadEntryStatus(i_entry, i_status);
    }
    // What a transfer thread's report leaves behind, then the engine's signal.
    void Report(ItemPtr i_entry, qint64 i_position, int i_bytesPerSecond)
    {
        const bool upload = IsUpload(i_entry);
        const char* positionType = upload ? "read_position" : "write_position";
        if (!TransferCell<PositionCell>(i_entry, positionType))
            NewTransferCell<PositionCell>(i_entry, positionType);
        if (!TransferCell<SpeedCell>(i_entry, "bytes_per_second"))
            NewTransferCell<SpeedCell>(i_entry, "bytes_per_second");
        TransferCell<PositionCell>(i_entry, positionType)->store(i_position);
        TransferCell<SpeedCell>(i_entry, "bytes_per_second")->store(i_bytesPerSecond);
        if (upload)
            emit engine->UploadProgressed(i_entry);
        else
            emit engine->DownloadProgressed(i_entry);
    }

    static QTreeWidgetItem* RowOf(const ItemPtr& i_entry)
    {
        return i_entry[IsUpload(i_entry) ? "upload_list_node" : "download_list_node"].AsPointer<QTreeWidgetItem>();
    }
    // The bar's text and value, "" when the row has none.
    static QString Bar(QTreeWidgetItem* ip_row)
    {
        const auto* bar =
            qobject_cast<QProgressBar*>(ip_row->treeWidget()->itemWidget(ip_row, TransfersForm::ProgressColumn));
        return bar ? QStringLiteral("%1|%2").arg(bar->format()).arg(bar->value()) : QString();
    }
    static QString ColorSettingOf(QTreeWidgetItem* ip_row, int i_column = 0)
    {
        const QString name = ip_row->foreground(i_column).color().name();
        for (const char* key : {"color_transfer_complete", "color_transfer_in_progress", "color_transfer_queued",
                                "color_transfer_failed", "color_transfer_other"})
            if (GetSetting(QLatin1String(key)) == name)
                return QString::fromLatin1(key).mid(15);
        return QString();
    }
    QString Title() const { return tabs.tabText(1); }

    QTabWidget tabs;
    TransfersForm* form = nullptr;
    QTreeWidget* downloads = nullptr;
    QTreeWidget* uploads = nullptr;
    UrlRecorder urls;

private:
    static bool IsUpload(const ItemPtr& i_entry) { return i_entry.GetType()->GetName() == "upload_entry"; }

    std::unique_ptr<ActionSetToolBar> m_toolBar;
    std::unique_ptr<EventToolBar> m_eventBar;
    std::unique_ptr<SizeManager> m_sizes;
};
