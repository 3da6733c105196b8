#pragma once

#include "Data.h"
#include "DataSaver.h"

#include <QTreeWidgetItem>
#include <QWidget>

#include <memory>

namespace Ui
{
class CompleteDownloadsForm;
}

// A row of the completed downloads list: rows order by the time their download completed,
// whatever column the list is sorted by. The time is read once, when the row is made.
class CompleteDownloadItem : public QTreeWidgetItem
{
public:
    explicit CompleteDownloadItem(qint64 i_completedMs);
    bool operator<(const QTreeWidgetItem& i_other) const override;

    qint64 CompletedMs() const { return m_completedMs; }

private:
    qint64 m_completedMs; // the lowest value when the stored time cannot be read
};

// Every download the transfer engine recorded as finished (`complete_download`), newest first.
// One at most exists (`completeDownloadsForm`); a tab of the transfers window.
class CompleteDownloadsForm
    : public QWidget
    , public DataLoadedEventHandler
{
    Q_OBJECT

public:
    explicit CompleteDownloadsForm(QWidget* ip_parent = nullptr);
    ~CompleteDownloadsForm() override;

    // Lists the records there are, or those of the data file once it has loaded, and from then
    // on every new one.
    void Init();
    void DataLoaded() override;

public slots:
    void OnCompleteDownloadAdded(ItemPtr i_download);

private:
    CompleteDownloadItem* NewRow(const ItemPtr& i_record);
    void AddAll();

    std::unique_ptr<Ui::CompleteDownloadsForm> ui;
};

extern CompleteDownloadsForm* completeDownloadsForm;
