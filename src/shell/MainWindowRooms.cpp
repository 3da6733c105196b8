// The room list of the Rooms tab: one row per room with its user count and a font for the own
// role in it, entering rooms from it, and the tabs of the joined rooms.
#include "MainWindow.h"
#include "ServerSchema.h"
#include "ShellSchema.h"

#include "QRoomListItemWidget.h"
#include "RoomForm.h"
#include "Server.h"
#include "ui_MainWindow.h"

#include <QHeaderView>
#include <QIcon>
#include <QMenu>
#include <QTimer>

#include <algorithm>

namespace
{
// What a role change does to one attribute of the row's font.
constexpr int kKeep = -1;
} // namespace

void MainWindow::OnRoomAdded(ItemPtr i_room)
{
    if (i_room.IsConnected(types::kRoomNode))
        return;
    ResortRoomList();
    // Those of a room list that went are taken out before the new list's rows come.
    DropGoneRoomRows();
    // Named before it joins the list, so the list places it once. A row out of the list is
    // renamed without the list searching for it.
    QRoomListItemWidget* row = nullptr;
    if (m_spareRoomRows.empty())
        row = new QRoomListItemWidget(nullptr);
    else
    {
        row = m_spareRoomRows.back();
        m_spareRoomRows.pop_back();
        row->Clear();
    }
    row->setText(0, i_room.AsString());
    row->ReadRole(i_room);
    ui->roomList->addTopLevelItem(row);
    i_room += d->GetType(types::kRoomNode)->GetItem(Value(row));
}

// A room list from the server replaces the one before, so rooms go by the thousand: their rows
// are dropped together, before new rows come or when the event loop next turns; each alone would
// search the list.
void MainWindow::OnRoomRemoved(ItemPtr i_room)
{
    ItemPtr node = i_room[types::kRoomNode];
    auto* row = node.AsPointer<QRoomListItemWidget>();
    if (!row)
        return;
    node.Remove();
    m_goneRoomRows.push_back(row);
    ResortRoomList();
}

void MainWindow::DropGoneRoomRows()
{
    if (m_goneRoomRows.empty())
        return;
    QTreeWidgetItem* root = ui->roomList->invisibleRootItem();
    // A few go one by one, which keeps the selection; many, by taking the list apart once.
    if (m_goneRoomRows.size() < 64)
    {
        for (QRoomListItemWidget* row : m_goneRoomRows)
            delete row;
    }
    else
    {
        // The rows that went are spared for the rooms that come: freeing a whole list's rows and
        // making as many again costs more than the rest of the answer.
        for (QRoomListItemWidget* row : m_goneRoomRows)
            row->SetGone(true);
        QTreeWidget* list = ui->roomList;
        QTreeWidgetItem* current = list->currentItem();
        const int currentColumn = list->currentColumn();
        QList<QTreeWidgetItem*> selected = list->selectedItems();
        QList<QTreeWidgetItem*> rows = root->takeChildren();
        const auto kept = std::stable_partition(rows.begin(), rows.end(), [](QTreeWidgetItem* ip_row) {
            return !static_cast<QRoomListItemWidget*>(ip_row)->IsGone();
        });
        rows.erase(kept, rows.end());
        root->addChildren(rows);
        m_spareRoomRows.insert(m_spareRoomRows.end(), m_goneRoomRows.begin(), m_goneRoomRows.end());
        // Taking the rows out cleared the current row and the selection; a room that stays keeps them.
        const auto stays = [](QTreeWidgetItem* ip_row) {
            return ip_row && !static_cast<QRoomListItemWidget*>(ip_row)->IsGone();
        };
        if (stays(current))
            list->setCurrentItem(current, currentColumn, QItemSelectionModel::NoUpdate);
        for (QTreeWidgetItem* row : selected)
            if (stays(row))
                row->setSelected(true);
    }
    m_goneRoomRows.clear();
}

void MainWindow::DeleteSpareRoomRows()
{
    for (QRoomListItemWidget* row : m_spareRoomRows)
        delete row;
    m_spareRoomRows.clear();
}

void MainWindow::OnRoomUserCountChanged(ItemPtr i_room)
{
    auto* row = i_room[types::kRoomNode].AsPointer<QRoomListItemWidget>();
    if (!row)
        return;
    const ItemPtr count = i_room[types::kUserCount];
    row->setText(1, count.AsInt64() != 0 ? count.AsString() : QString());
}

void MainWindow::ApplyRoomFont(const ItemPtr& i_room, int i_italic, int i_underline, int i_weight)
{
    auto* row = i_room[types::kRoomNode].AsPointer<QRoomListItemWidget>();
    if (!row)
        return;
    ResortRoomList();
    row->ReadRole(i_room);
    QFont font = row->font(0);
    if (i_italic != kKeep)
        font.setItalic(i_italic != 0);
    if (i_underline != kKeep)
        font.setUnderline(i_underline != 0);
    if (i_weight != kKeep)
        font.setWeight(i_weight);
    row->setFont(0, font);
}

// The rows order by the own roles too, which the list cannot see change. One room-list answer
// adds, removes and changes rows by the thousand: the list stops sorting until the event loop
// next turns, then drops the rows that went and sorts once.
void MainWindow::ResortRoomList()
{
    if (m_roomListSortPending)
        return;
    m_roomListSortPending = true;
    const bool sorting = ui->roomList->isSortingEnabled();
    ui->roomList->setSortingEnabled(false);
    QTimer::singleShot(0, this, [this, sorting] {
        m_roomListSortPending = false;
        DropGoneRoomRows();
        // The answer is in: what its rooms did not take over goes.
        DeleteSpareRoomRows();
        if (sorting)
            ui->roomList->setSortingEnabled(true); // which sorts
        else
            ui->roomList->sortItems(ui->roomList->sortColumn(), ui->roomList->header()->sortIndicatorOrder());
    });
}

void MainWindow::OnBecomingRoomOwner(ItemPtr i_room)
{
    ApplyRoomFont(i_room, 1, 1, QFont::Bold);
}

void MainWindow::OnBecomingRoomOperator(ItemPtr i_room)
{
    ApplyRoomFont(i_room, 1, kKeep, QFont::Bold);
}

void MainWindow::OnBecomingRoomMember(ItemPtr i_room)
{
    if (!i_room.IsConnected(types::kIsOwner) && !i_room.IsConnected(types::kIsOperator))
        ApplyRoomFont(i_room, 1, kKeep, kKeep);
}

void MainWindow::OnLosingRoomRole(ItemPtr i_room)
{
    ApplyRoomFont(i_room, i_room.IsConnected(types::kIsMember) ? 1 : 0, i_room.IsConnected(types::kIsOwner) ? 1 : 0,
                  i_room.IsConnected(types::kIsOperator) ? QFont::Bold : QFont::Normal);
}

void MainWindow::OnEnteredRoom(ConnectionInfo& i_info)
{
    RoomForm::OpenTab(ui->roomsTabControl, i_info.first.AsString());
}

void MainWindow::OnRoomListItemDoubleClicked(QTreeWidgetItem* ip_item, int i_column)
{
    if (ip_item && i_column == 0 && server)
        server->EnterRoom(ip_item->text(0), false);
}

void MainWindow::OnRoomListContextMenuRequested(QPoint i_point)
{
    if (!ui->roomList->itemAt(i_point))
        return;
    QMenu menu;
    menu.addAction(QIcon(QStringLiteral(":/icons/room_icon")), QStringLiteral("Enter Room"), this,
                   &MainWindow::OnEnterRoom);
    menu.exec(ui->roomList->viewport()->mapToGlobal(i_point));
}

void MainWindow::OnEnterRoom()
{
    const QList<QTreeWidgetItem*> selected = ui->roomList->selectedItems();
    if (!selected.isEmpty() && server)
        server->EnterRoom(selected.first()->text(0), false);
}

void MainWindow::OnRoomTabClosed(int i_index)
{
    delete ui->roomsTabControl->widget(i_index);
}

void MainWindow::OnRoomListItemSelectionChanged() {}
