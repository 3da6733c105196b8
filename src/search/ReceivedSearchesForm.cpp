#include "ReceivedSearchesForm.h"

#include "ActionSetToolBar.h"
#include "SharedFoldersManager.h"
#include "ui_ReceivedSearchesForm.h"

#include <QColor>

ReceivedSearchesForm* receivedSearchesForm = nullptr;

namespace
{
const QString ActionSet = QStringLiteral("received_searches");
const QString PauseAction = QStringLiteral("pause_unpause");
} // namespace

ReceivedSearchesForm::ReceivedSearchesForm(QWidget* ip_parent)
    : QWidget(ip_parent)
    , ui(new Ui::ReceivedSearchesForm)
{
    ui->setupUi(this);
    receivedSearchesForm = this;
    ui->searchList->setColumnCount(2);
    ui->searchList->setHeaderLabels({QStringLiteral("Search"), QStringLiteral("Match")});
    ui->searchList->setColumnWidth(0, 320);
    ui->searchList->setColumnWidth(1, 50);
}

ReceivedSearchesForm::~ReceivedSearchesForm()
{
    if (receivedSearchesForm == this)
        receivedSearchesForm = nullptr;
    delete ui;
}

void ReceivedSearchesForm::Init()
{
    connect(sharedFoldersManager, &SharedFoldersManager::SearchProcessed, this,
            &ReceivedSearchesForm::OnSearchProcessed);
    actionBar->AddSetAction(ActionSet, PauseAction, QStringLiteral("Pause"), QStringLiteral(":/icons/pause_icon"),
                            false);
    actionBar->RegisterWidget(this, ActionSet);
    connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &ReceivedSearchesForm::OnActionTriggered);
}

void ReceivedSearchesForm::OnSearchProcessed(QString i_search, bool i_match)
{
    if (m_paused)
        return;
    QTreeWidget* list = ui->searchList;
    list->setCurrentItem(nullptr);
    auto* row = new QTreeWidgetItem({i_search});
    if (i_match)
    {
        row->setText(1, QStringLiteral("Match"));
        row->setForeground(1, QColor(0x00, 0x55, 0x00));
    }
    list->insertTopLevelItem(0, row);
    if (list->topLevelItemCount() > MaxRows)
        delete list->takeTopLevelItem(MaxRows);
}

void ReceivedSearchesForm::OnActionTriggered(QWidget* ip_widget, QString i_action)
{
    if (ip_widget != this || i_action != PauseAction)
        return;
    m_paused = !m_paused;
    actionBar->SetWidgetActionText(this, PauseAction, m_paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
}
