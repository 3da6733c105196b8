#include "RoomForm.h"

#include "ActionSetToolBar.h"
#include "ChatClock.h"
#include "ChatLines.h"
#include "ChatLog.h"
#include "ChatsForm.h"
#include "FocusHelpers.h"
#include "QRoomUserListItemWidget.h"
#include "Server.h"
#include "ServerSchema.h"
#include "ShellSchema.h"
#include "ShellWidgets.h"
#include "SizeManager.h"
#include "TextUtils.h"
#include "TimerManager.h"
#include "UserMenuOptions.h"
#include "UserNoteDialog.h"
#include "ui_RoomForm.h"

#include <QDesktopServices>
#include <QFile>
#include <QHeaderView>
#include <QIcon>
#include <QMenu>
#include <QTabWidget>

namespace
{
using Handler = EventHandler<RoomForm, ItemPtr>;

const QString kNoteIcon = QStringLiteral(":/icons/note_icon");
const QString kAutojoinAction = QStringLiteral("toggle_room_autojoin");
} // namespace

RoomForm::RoomForm(const QString& i_room, QWidget* ip_parent)
    : QWidget(ip_parent)
    , ui(new Ui::RoomForm)
    , m_room(i_room)
{
    ui->setupUi(this);
    IsolatingDelegate::Install(ui->userList);
    ui->splitter->setSizes({280, 280});
    ui->splitter->setStretchFactor(0, 1);
    ui->splitter->setStretchFactor(1, 0);
    ui->userList->setColumnCount(6);
    ui->userList->setHeaderLabels(
        {QString(), QString(), QStringLiteral("User"), QString(), QStringLiteral("Files"), QStringLiteral("K/s")});
    // "Files" is wider than 50 so that five digits and a separator stay readable.
    const int widths[] = {20, 25, 90, 25, 60, 40};
    for (int column = 0; column < 6; ++column)
        ui->userList->setColumnWidth(column, widths[column]);
    ui->userList->sortByColumn(2, Qt::AscendingOrder);
    // One line per row: a sort of a large room need not measure every row again.
    ui->userList->setUniformRowHeights(true);
    ui->userList->header()->setStretchLastSection(true);
    ui->userList->headerItem()->setIcon(3, QIcon(kNoteIcon));
    m_chatView = std::make_unique<ChatView>(ui->chatView, true);

    m_roomItem = d->GetType(types::kRoom)->GetItem(Value(m_room));
    m_roomItem += d->GetType(types::kRoomForm)->GetItem(Value(this));
    RegisterHandlers();
    // A tab opened by a join answered for a room still marked as joined finds its users linked.
    for (const ItemPtr& user : m_roomItem.GetItems(types::kUser))
        if (user.IsConnected(types::kAverageDownloadSpeed) && user.IsConnected(types::kSharedFilesCount)
            && user.IsConnected(types::kCountryCode))
            OnUserAdded(user);
    if (gp_server)
    {
        connect(gp_server, &Server::RoomChat, this, &RoomForm::OnRoomChat);
        connect(gp_server, &Server::Connected, this, &RoomForm::OnConnected);
        connect(gp_server, &Server::Disconnected, this, &RoomForm::OnDisconnected);
    }
    if (timerManager)
        connect(timerManager->halfMinuteTimer(), &QTimer::timeout, this, &RoomForm::CheckChatInactivity);
    SetUpToolBar();

    connect(ui->chatEdit, &QLineEdit::returnPressed, this, &RoomForm::OnEnterPressed);
    connect(ui->chatView, &QTextBrowser::anchorClicked, this, &RoomForm::OnURLClicked);
    connect(ui->userList, &QTreeWidget::itemClicked, this, &RoomForm::OnUserItemClicked);
    connect(ui->userList, &QTreeWidget::itemDoubleClicked, this, &RoomForm::OnUserItemDoubleClicked);
    connect(ui->userList, &QWidget::customContextMenuRequested, this, &RoomForm::OnUserListContextMenuRequested);
}

RoomForm::~RoomForm()
{
    m_destroying = true;
    if (!m_left && gp_server)
        gp_server->LeaveRoom(m_room);
    if (ItemPtr form = m_roomItem[types::kRoomForm]; form.AsPointer<RoomForm>() == this)
        form.Remove();
    delete ui;
}

void RoomForm::Init()
{
    if (sizeManager)
    {
        sizeManager->RegisterSplitter(QStringLiteral("room_splitter"), ui->splitter, {});
        sizeManager->RegisterTreeWidget(QStringLiteral("room_user_list"), ui->userList);
    }
    RegisterWidgetForTabFocus(ui->chatEdit, 1);
}

RoomForm* RoomForm::OpenTab(QTabWidget* ip_tabs, const QString& i_room)
{
    const ItemPtr room = d->GetType(types::kRoom)->HasItem(Value(i_room));
    if (!room || !room.IsConnected(types::kInRoom))
        return nullptr;
    if (RoomForm* form = room[types::kRoomForm].AsPointer<RoomForm>())
        return form;
    auto* form = new RoomForm(i_room, ip_tabs);
    ip_tabs->addTab(form, QIcon(QStringLiteral(":/icons/room_icon")), MnemonicText(i_room));
    form->Init();
    FocusWidgetAndParents(form->ui->chatEdit);
    return form;
}

void RoomForm::RegisterHandlers()
{
    const auto userPath = [this](PathNodeRelation i_relation) {
        auto* root = new PathNode(d, types::kUser);
        new PathNode(root, m_roomItem, i_relation);
        return root;
    };
    PathNode* added = userPath(PathRequired);
    for (const char* statistic : {types::kAverageDownloadSpeed, types::kSharedFilesCount, types::kCountryCode})
        new PathNode(added, statistic, PathRequired);
    d->AddPathEventHandler(added, new Handler(this, &RoomForm::OnUserAdded));
    d->AddPathEventHandler(userPath(PathOnDisconnect), new Handler(this, &RoomForm::OnUserRemoved));

    const auto operatorPath = [this](PathNodeRelation i_relation) {
        auto* root = new PathNode(d, types::kUser);
        new PathNode(new PathNode(root, types::kRoomOperators, i_relation), m_roomItem, PathRequired);
        return root;
    };
    d->AddPathEventHandler(operatorPath(PathRequired), new Handler(this, &RoomForm::OnOperatorAdded));
    d->AddPathEventHandler(operatorPath(PathOnDisconnect), new Handler(this, &RoomForm::OnOperatorRemoved));

    const auto roomPath = [this](const char* i_type, PathNodeRelation i_relation) {
        return new PathNode(new PathNode(m_roomItem), i_type, i_relation);
    };
    d->AddPathEventHandler(roomPath(types::kInRoom, PathOnDisconnect), new Handler(this, &RoomForm::OnLeftRoom));
    d->AddPathEventHandler(roomPath(types::kRoomAutojoin, PathOnConnect),
                           new Handler(this, &RoomForm::OnRoomAutojoinOn));
    d->AddPathEventHandler(roomPath(types::kRoomAutojoin, PathOnDisconnect),
                           new Handler(this, &RoomForm::OnRoomAutojoinOff));

    const auto notePath = [](PathNodeRelation i_relation) {
        return new PathNode(new PathNode(d, types::kUser), types::kUserNote, i_relation);
    };
    d->AddPathEventHandler(notePath(PathOnConnect), new Handler(this, &RoomForm::OnUserNoteChanged));
    d->AddPathEventHandler(notePath(PathOnDisconnect), new Handler(this, &RoomForm::OnUserNoteRemoved));
}

void RoomForm::SetUpToolBar()
{
    if (!actionBar)
        return;
    actionBar->RegisterWidget(this, QStringLiteral("room"));
    actionBar->AddWidgetKey(this, QStringLiteral("room"), m_room);
    ShowAutojoin(m_roomItem.IsConnected(types::kRoomAutojoin));
    // The roles at the tab's opening decide; a later change shows at the next opening.
    const bool owner = m_roomItem.IsConnected(types::kIsOwner);
    const bool member = m_roomItem.IsConnected(types::kIsMember);
    actionBar->SetWidgetActionHidden(this, QStringLiteral("give_up_membership"), !member || owner);
    actionBar->SetWidgetActionHidden(this, QStringLiteral("give_up_ownership"), !owner);
}

void RoomForm::ShowAutojoin(bool i_on)
{
    if (actionBar)
        actionBar->SetWidgetActionText(this, kAutojoinAction,
                                       i_on ? QStringLiteral("Auto-Join Room [on]")
                                            : QStringLiteral("Auto-Join Room [off]"));
}

// ---- the user list ----

void RoomForm::OnUserAdded(ItemPtr i_user)
{
    const QString name = i_user.AsString();
    // A user already listed comes here again when the server reports new statistics.
    if (QTreeWidgetItem* listed = m_rows.value(name))
    {
        ShowStatistics(listed, i_user);
        return;
    }
    // Filled before it joins the list, so the sorted list places it once.
    auto* row = new QRoomUserListItemWidget(nullptr);
    row->SetUser(i_user);
    QFont font = row->font(2);
    if (d->GetItem(i_user, m_roomItem, types::kRoomOperators) || d->GetItem(i_user, m_roomItem, types::kRoomOwner))
        font.setWeight(QFont::Bold);
    if (d->GetItem(i_user, m_roomItem, types::kRoomOwner))
        font.setUnderline(true);
    row->setFont(2, font);
    ShowStatistics(row, i_user);
    if (i_user.IsConnected(types::kUserNote))
        row->setIcon(3, QIcon(kNoteIcon));
    ui->userList->addTopLevelItem(row);
    m_rows.insert(name, row);
    UpdateUserCount();
}

void RoomForm::ShowStatistics(QTreeWidgetItem* ip_row, const ItemPtr& i_user)
{
    const QString country = i_user[types::kCountryCode].AsString();
    const QString flag = QStringLiteral(":/resources/flags/") + country.toLower() + QStringLiteral(".png");
    ip_row->setIcon(1, !country.isEmpty() && QFile::exists(flag) ? QIcon(flag) : QIcon());
    ip_row->setText(4, CommafyNumber(i_user[types::kSharedFilesCount].AsInt64()));
    const double speed = i_user[types::kAverageDownloadSpeed].AsInt64() / 1024.0;
    ip_row->setText(5, speed != 0 ? QString::number(speed, 'f', 1) : QString());
}

void RoomForm::OnUserRemoved(ItemPtr i_user)
{
    QTreeWidgetItem* row = m_rows.take(i_user.AsString());
    if (!row)
        return;
    delete row;
    UpdateUserCount();
}

void RoomForm::UpdateUserCount()
{
    m_roomItem +=
        d->GetType(types::kUserCount)->GetItem(Value(static_cast<quint64>(m_roomItem.CountItems(types::kUser))));
}

void RoomForm::SetOperatorWeight(const ItemPtr& i_user, int i_weight)
{
    QTreeWidgetItem* row = m_rows.value(i_user.AsString());
    if (!row)
        return;
    QFont font = row->font(2);
    font.setWeight(i_weight);
    row->setFont(2, font);
}

void RoomForm::OnOperatorAdded(ItemPtr i_user)
{
    SetOperatorWeight(i_user, QFont::Bold);
}

void RoomForm::OnOperatorRemoved(ItemPtr i_user)
{
    SetOperatorWeight(i_user, QFont::Normal);
}

void RoomForm::OnUserNoteChanged(ItemPtr i_user)
{
    if (QTreeWidgetItem* row = m_rows.value(i_user.AsString()))
        row->setIcon(3, QIcon(kNoteIcon));
}

void RoomForm::OnUserNoteRemoved(ItemPtr i_user)
{
    if (QTreeWidgetItem* row = m_rows.value(i_user.AsString()))
        row->setIcon(3, QIcon());
}

void RoomForm::OnUserItemClicked(QTreeWidgetItem* ip_item, int i_column)
{
    if (i_column != 3 || !ip_item)
        return;
    const QString user = ip_item->text(2);
    if (d->GetType(types::kUser)->HasItem(Value(user)).IsConnected(types::kUserNote))
        UserNoteDialog::GetDialog(user)->show();
}

void RoomForm::OnUserItemDoubleClicked(QTreeWidgetItem* ip_item, int)
{
    if (ip_item && chatsForm)
        chatsForm->OpenChatForm(ip_item->text(2));
}

void RoomForm::OnUserListContextMenuRequested(QPoint i_point)
{
    QTreeWidgetItem* row = ui->userList->itemAt(i_point);
    if (!row)
        return;
    QMenu menu;
    UserMenuOptions::Exec(menu, row->text(2), ui->userList->viewport()->mapToGlobal(i_point));
}

// ---- the room ----

void RoomForm::OnLeftRoom(ItemPtr)
{
    if (m_destroying)
        return;
    m_left = true;
    delete this;
}

void RoomForm::OnRoomAutojoinOn(ItemPtr)
{
    ShowAutojoin(true);
}

void RoomForm::OnRoomAutojoinOff(ItemPtr)
{
    ShowAutojoin(false);
}

void RoomForm::OnConnected()
{
    AddStatusMessage(QStringLiteral("Reconnected at %1.").arg(ChatShortTime(ChatNow())));
    gp_server->EnterRoom(m_room, false);
}

void RoomForm::OnDisconnected()
{
    AddStatusMessage(QStringLiteral("Disconnected at %1.").arg(ChatShortTime(ChatNow())));
}

// ---- chat ----

void RoomForm::OnEnterPressed()
{
    const QString text = ui->chatEdit->text();
    if (text.isEmpty() || !m_chatView->CanSend())
        return;
    gp_server->SendRoomChat(m_room, text);
    ui->chatEdit->clear();
}

void RoomForm::OnURLClicked(QUrl i_url)
{
    // Only web addresses: a line is another user's text, whatever its escaping let through.
    if (IsWebLink(i_url))
        QDesktopServices::openUrl(i_url);
    ui->chatEdit->setFocus(Qt::OtherFocusReason);
}

void RoomForm::OnRoomChat(QString i_room, QString i_user, QString i_chat)
{
    if (i_room != m_room)
        return;
    LogChat(m_chatView->AddWrittenLine(i_user, i_chat.trimmed()));
}

void RoomForm::AddStatusMessage(const QString& i_text)
{
    m_chatView->AddStatusMessage(i_text);
}

void RoomForm::LogChat(const QString& i_line)
{
    AppendChatLog(ChatLogKind::Room, m_roomItem, i_line);
}

void RoomForm::CheckChatInactivity()
{
    m_chatView->CheckInactivity();
}
