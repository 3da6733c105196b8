#include "MessageListForm.h"

#include "ChatClock.h"
#include "ChatLines.h"
#include "ChatSchema.h"
#include "Server.h"
#include "ServerSchema.h"
#include "ShellWidgets.h"
#include "TextUtils.h"
#include "ui_MessageListForm.h"

#include <QHash>
#include <QHeaderView>

MessageListForm::MessageListForm(QWidget* ip_parent)
    : QWidget(ip_parent)
    , ui(new Ui::MessageListForm)
{
    ui->setupUi(this);
    IsolatingDelegate::Install(ui->messageList);
    ui->messageList->setColumnCount(3);
    ui->messageList->setHeaderLabels({QString(), QStringLiteral("User"), QString()});
    ui->messageList->setColumnWidth(0, 150);
    ui->messageList->setColumnWidth(1, 200);
    ui->messageList->header()->setStretchLastSection(true);
    ui->messageList->header()->setSectionsMovable(false);
}

MessageListForm::~MessageListForm()
{
    delete ui;
}

void MessageListForm::Init()
{
    Type* message = d->NewType(types::kPrivateMessage, Primary, true, true);
    Type* user = d->GetType(types::kUser);
    for (const char* value : {types::kPrivateMessageTime, types::kPrivateMessageText, types::kPrivateMessageDirection})
        message->RelateToType(d->NewType(value, Tertiary, false, true), Many, One);
    message->RelateToType(user, Many, One);
    user->RelateToType(d->NewType(types::kMessageListNode, Primary, false, true), One, One);

    dataSaver->AddSavedType(types::kPrivateMessage);
    dataSaver->AddSavedByConnectionType(types::kPrivateMessageTime, types::kPrivateMessage);
    dataSaver->AddSavedByConnectionType(types::kPrivateMessageText, types::kPrivateMessage);
    dataSaver->AddSavedType(types::kPrivateMessageDirection);
    dataSaver->AddSavedByConnectionType(types::kUser, types::kPrivateMessage);
    if (gp_server)
    {
        connect(gp_server, &Server::PrivateChat, this, &MessageListForm::OnPrivateChat);
        connect(gp_server, &Server::PrivateChatSent, this, &MessageListForm::OnPrivateChatSent);
        mp_listPaints = new ServerBurstPaints(ui->messageList);
    }
    dataSaver->AddListener(this);
}

ItemPtr MessageListForm::Record(const QString& i_user, const QString& i_text, qint64 i_time, const char* ip_direction)
{
    ItemPtr message = d->GetType(types::kPrivateMessage)->NewItem();
    message += d->GetType(types::kUser)->GetItem(Value(i_user));
    message += d->GetType(types::kPrivateMessageTime)->GetItem(Value(i_time));
    message += d->GetType(types::kPrivateMessageText)->GetItem(Value(i_text));
    message += d->GetType(types::kPrivateMessageDirection)->GetItem(Value(ip_direction));
    return message;
}

void MessageListForm::OnPrivateChat(QString i_user, QString i_chat, time_t i_time, bool)
{
    AddMessageToList(Record(i_user, i_chat, static_cast<qint64>(i_time), "from"));
}

void MessageListForm::OnPrivateChatSent(QString i_user, QString i_chat)
{
    AddMessageToList(Record(i_user, i_chat, ChatNow().toSecsSinceEpoch(), "to"));
}

void MessageListForm::AddMessageToList(ItemPtr i_message)
{
    ItemPtr user = i_message[types::kUser];
    if (!user)
        return;
    if (mp_listPaints)
        mp_listPaints->Changing();
    QTreeWidget* list = ui->messageList;
    QTreeWidgetItem* row = TakeRow(user);
    list->insertTopLevelItem(0, row);
    FillRow(row, i_message);
}

QTreeWidgetItem* MessageListForm::TakeRow(ItemPtr io_user)
{
    QTreeWidget* list = ui->messageList;
    if (auto* row = io_user[types::kMessageListNode].AsPointer<QTreeWidgetItem>())
        return list->takeTopLevelItem(list->indexOfTopLevelItem(row));
    auto* row = new QTreeWidgetItem;
    row->setText(1, io_user.AsString());
    io_user += d->GetType(types::kMessageListNode)->GetItem(Value(row));
    if (gp_server)
        gp_server->TrackUser(io_user.AsString());
    return row;
}

void MessageListForm::FillRow(QTreeWidgetItem* ip_row, const ItemPtr& i_message)
{
    const quint64 time = i_message[types::kPrivateMessageTime].AsUInt64();
    ip_row->setText(0, ChatLongTime(QDateTime::fromSecsSinceEpoch(static_cast<qint64>(time))));
    const bool received = i_message[types::kPrivateMessageDirection].AsString() == QLatin1String("from");
    const QString sender = received ? i_message[types::kUser].AsString() : GetSetting(settings::kUsername);
    // The whole text would be laid out at every paint and size query of the row.
    ip_row->setText(2, QStringLiteral("[%1] ").arg(IsolatedName(sender))
                           + MessageListText(i_message[types::kPrivateMessageText].AsString()));
}

void MessageListForm::DataLoaded()
{
    // Replaying every message in turn would move rows to the top again and again: only each
    // partner's latest message counts, and the rows go in at once, newest first, which leaves
    // the rows and their order as the replay would.
    const QList<ItemPtr> messages =
        d->GetType(types::kPrivateMessage)->GetItems().SortNumericBy(types::kPrivateMessageTime, true);
    QHash<ItemPtr, int> latest;
    for (int index = 0; index < messages.size(); ++index)
        latest.insert(messages.at(index)[types::kUser], index);
    // Oldest first, as a replay would ask the server to track the users.
    QList<QTreeWidgetItem*> rows;
    for (int index = 0; index < messages.size(); ++index)
    {
        const ItemPtr& message = messages.at(index);
        ItemPtr user = message[types::kUser];
        if (!user || latest.value(user) != index)
            continue;
        QTreeWidgetItem* row = TakeRow(user);
        FillRow(row, message);
        rows.prepend(row);
    }
    ui->messageList->insertTopLevelItems(0, rows);
}
