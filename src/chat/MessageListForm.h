#pragma once

#include "DataSaver.h"

#include <QString>
#include <QWidget>

#include <ctime>

class QTreeWidgetItem;
class ServerBurstPaints;

namespace Ui
{
class MessageListForm;
}

// Every private message sent and received, kept as `private_message` items of the data file, and
// listed with one row per partner: the time and the start (MessageListText) of the latest
// message, the most recent conversation on top. A row is found through the user's
// `message_list_node` item (the row's address). One per store: Init declares the types and joins
// the saver's listeners, so it runs once, before the data file loads, and the form stays until
// the store goes.
class MessageListForm
    : public QWidget
    , public DataLoadedEventHandler
{
    Q_OBJECT

public:
    explicit MessageListForm(QWidget* ip_parent = nullptr);
    ~MessageListForm() override;

    void Init();
    // Shows the message in its partner's row, moved or made at the top.
    void AddMessageToList(ItemPtr i_message);
    // Rebuilds the rows from the stored messages, the newest conversation on top.
    void DataLoaded() override;

public slots:
    void OnPrivateChat(QString i_user, QString i_chat, time_t i_time, bool i_spontaneous);
    void OnPrivateChatSent(QString i_user, QString i_chat);

private:
    // The user's row taken out of the list, or a new one for the user (who is then tracked).
    QTreeWidgetItem* TakeRow(ItemPtr io_user);
    void FillRow(QTreeWidgetItem* ip_row, const ItemPtr& i_message);
    ItemPtr Record(const QString& i_user, const QString& i_text, qint64 i_time, const char* ip_direction);

    Ui::MessageListForm* ui;
    // A burst of messages moves rows to the top in every turn it is handled in.
    ServerBurstPaints* mp_listPaints = nullptr;
};
