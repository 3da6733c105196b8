#include "CompleteDownloadsForm.h"

#include "ServerSchema.h"
#include "TransferQueueManager.h"
#include "TransfersSchema.h"
#include "TransfersUiSchema.h"
#include "ui_CompleteDownloadsForm.h"

#include <QDateTime>
#include <QHeaderView>

#include <algorithm>
#include <limits>

CompleteDownloadsForm* completeDownloadsForm = nullptr;

namespace
{
qint64 CompletedMs(const ItemPtr& i_record)
{
    const QDateTime time =
        QDateTime::fromString(i_record[types::kCompleteDownloadCompletionTime].AsString(), Qt::TextDate);
    return time.isValid() ? time.toMSecsSinceEpoch() : std::numeric_limits<qint64>::min();
}

// Newest first; ties keep their order of arrival.
bool Newer(const CompleteDownloadItem* ip_a, const CompleteDownloadItem* ip_b)
{
    return ip_a->CompletedMs() > ip_b->CompletedMs();
}
} // namespace

CompleteDownloadItem::CompleteDownloadItem(qint64 i_completedMs)
    : m_completedMs(i_completedMs)
{
}

bool CompleteDownloadItem::operator<(const QTreeWidgetItem& i_other) const
{
    return m_completedMs < static_cast<const CompleteDownloadItem&>(i_other).m_completedMs;
}

CompleteDownloadsForm::CompleteDownloadsForm(QWidget* ip_parent)
    : QWidget(ip_parent)
    , ui(std::make_unique<Ui::CompleteDownloadsForm>())
{
    completeDownloadsForm = this;
    ui->setupUi(this);
    QTreeWidget* list = ui->downloadList;
    list->setColumnCount(5);
    list->setHeaderLabels({QStringLiteral("File"), QStringLiteral("Folder"), QStringLiteral("User"),
                           QStringLiteral("Size"), QStringLiteral("Completion time")});
    int column = 0;
    for (int width : {250, 250, 100, 100, 150})
        list->setColumnWidth(column++, width);
    list->header()->setStretchLastSection(false);
    list->header()->setSectionsMovable(false);
}

CompleteDownloadsForm::~CompleteDownloadsForm()
{
    if (completeDownloadsForm == this)
        completeDownloadsForm = nullptr;
}

void CompleteDownloadsForm::Init()
{
    if (!d->HasType(types::kCompleteDownloadNode))
        d->NewType(types::kCompleteDownloadNode, Primary, false, true)
            ->RelateToType(d->GetType(types::kCompleteDownload), One, One);
    connect(transferQueueManager, &TransferQueueManager::CompleteDownloadAdded, this,
            &CompleteDownloadsForm::OnCompleteDownloadAdded);
    // Opened after the data file has loaded, the saver would not tell this form.
    if (dataSaver->HasLoaded())
        AddAll();
    else
        dataSaver->AddListener(this);
}

void CompleteDownloadsForm::DataLoaded()
{
    AddAll();
}

CompleteDownloadItem* CompleteDownloadsForm::NewRow(const ItemPtr& i_record)
{
    auto* row = new CompleteDownloadItem(CompletedMs(i_record));
    row->setText(0, i_record[types::kCompleteDownloadFilename].AsString());
    row->setText(1, i_record[types::kCompleteDownloadRelativeFolder].AsString());
    row->setText(2, i_record[types::kUser].AsString());
    row->setText(3, i_record[types::kCompleteDownloadFileSize].AsString());
    row->setText(4, i_record[types::kCompleteDownloadCompletionTime].AsString());
    d->GetType(types::kCompleteDownloadNode)->GetItem(Value(static_cast<QTreeWidgetItem*>(row))).Connect(i_record);
    return row;
}

// One sort for all, in the order the rows would have after one sort per row.
void CompleteDownloadsForm::AddAll()
{
    std::vector<CompleteDownloadItem*> rows;
    for (const ItemPtr& record : d->GetType(types::kCompleteDownload)->GetItems())
        if (!record[types::kCompleteDownloadNode])
            rows.push_back(NewRow(record));
    std::stable_sort(rows.begin(), rows.end(), Newer);
    QList<QTreeWidgetItem*> sorted;
    sorted.reserve(int(rows.size()));
    for (CompleteDownloadItem* row : rows)
        sorted.append(row);
    ui->downloadList->insertTopLevelItems(0, sorted);
}

void CompleteDownloadsForm::OnCompleteDownloadAdded(ItemPtr i_download)
{
    if (!i_download || i_download[types::kCompleteDownloadNode])
        return;
    CompleteDownloadItem* row = NewRow(i_download);
    // In place: after every row that is as new or newer.
    QTreeWidget* list = ui->downloadList;
    int low = 0;
    int high = list->topLevelItemCount();
    while (low < high)
    {
        const int middle = (low + high) / 2;
        if (static_cast<CompleteDownloadItem*>(list->topLevelItem(middle))->CompletedMs() >= row->CompletedMs())
            low = middle + 1;
        else
            high = middle;
    }
    list->insertTopLevelItem(low, row);
}
