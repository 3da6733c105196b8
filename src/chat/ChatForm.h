#pragma once

#include "ChatView.h"
#include "Data.h"

#include <QPoint>
#include <QUrl>
#include <QWidget>

#include <memory>

namespace Ui
{
class ChatForm;
}

class ChatsForm;
class QTabWidget;

// The private chat with one other user: the lines received from them and typed to them, sent to
// the server, logged to the user's chat log and announced on the notification bar; the user's away
// and available changes; the "Chat Log" action opens the user's log viewer beside it. While it
// exists the user holds a `user_chat_widget` item whose value is the form's address.
class ChatForm
    : public QWidget
    , public DataHandler
{
    Q_OBJECT

public:
    // ip_tabWidget: where the log viewer opens; ip_chats: the private chats container, its parent.
    ChatForm(const QString& i_user, QTabWidget* ip_tabWidget, ChatsForm* ip_chats);
    ~ChatForm() override;

    QString UserName() const { return m_user; }

    // One line written by i_user: the partner for received lines, the own user for own lines.
    void AddChat(const QString& i_user, const QString& i_text);
    void AddStatusMessage(const QString& i_text);
    void LogChat(const QString& i_line);
    // The input line takes the focus, its tabs and window brought forward.
    void Focus();
    // The order of the chats' last uses (a line written or received, or the tab shown): a later
    // use is larger.
    quint64 LastUse() const { return m_lastUse; }
    void MarkUsed();

public slots:
    void OnEnter();
    void CheckChatInactivity();
    void OnContextMenuRequested(QPoint i_point);
    void OnURLClicked(QUrl i_url);
    void OnActionTriggered(QWidget* ip_widget, QString i_action);

protected:
    void showEvent(QShowEvent* ip_event) override;

private:
    void ShowSentWarning();
    void OnUserAway(ItemPtr i_user);
    void OnUserAvailable(ItemPtr i_user);

    Ui::ChatForm* ui;
    QString m_user;
    ItemPtr m_userItem;
    QTabWidget* mp_tabWidget;
    ChatsForm* mp_chats;
    std::unique_ptr<ChatView> m_chatView;
    quint64 m_lastUse = 0;
};
