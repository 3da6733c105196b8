#pragma once

#include "Data.h"

#include <QPointer>
#include <QString>
#include <QWidget>

namespace Ui
{
class ChatsForm;
}

class ChatForm;
class MessageListForm;
class QTabWidget;

// The "Chat" page: one tab per private chat partner, the log viewers those tabs open, and the
// message list as its first tab. Every way into a private chat goes through it (global
// `chatsForm`). A partner's chat is found through the `user_chat_widget` link of the user; its
// tab's icon follows the user's online state.
//
// The tab bar lays every tab out again for each tab added, so it holds at most kTabsOnBar tabs. A
// chat made while it is full, or while others wait, waits off it: it takes its lines and posts its
// notices as any other, and gets its tab once brought forward (OpenChatForm, its notice's button,
// FocusWidgetAndParents), which sends the chat used longest ago off the bar to wait in its turn;
// a place freed on the bar goes to the chat that has waited longest.
class ChatsForm
    : public QWidget
    , public DataHandler
{
    Q_OBJECT

public:
    explicit ChatsForm(QWidget* ip_parent = nullptr);
    ~ChatsForm() override;

    // Follows the users' online state and opens chats for the users windows; once the data
    // model's types exist.
    void Init();

    // The partner's chat, made as a new last tab when there is none (the current tab stays);
    // never null.
    ChatForm* GetChatForm(const QString& i_user);
    // GetChatForm, brought forward: the page shown and the partner's tab current.
    void OpenChatForm(const QString& i_user);

    // The list of messages, one row per partner. Its Init must run before the data file loads.
    MessageListForm* MessageList() const { return mp_messageList; }
    QTabWidget* Tabs() const;

    static constexpr int kTabsOnBar = 100;
    // Orders its chats' uses: each number is larger than the last.
    quint64 NextUse() { return ++m_uses; }

public slots:
    void OnChatTabClosed(int i_index);

private:
    void OnUserOnline(ItemPtr i_user);
    void OnUserOffline(ItemPtr i_user);
    void SetTabIcon(const ItemPtr& i_user, bool i_online);
    void AddTab(ChatForm* ip_form);
    void OnWaitingChatChosen(int i_index);
    void OnCurrentTabChanged();
    // The chat tab used longest ago, the current one aside; null when there is none.
    ChatForm* LeastUsedTab() const;
    void TakeWaitingChats();

    Ui::ChatsForm* ui;
    MessageListForm* mp_messageList;
    // Never shown: the chats waiting off the bar are its pages, so that whatever brings one
    // forward through its tabs chooses it here; its first page, empty, stays current.
    QTabWidget* mp_waiting;
    // The chat tab last current: it was in use until another took its place.
    QPointer<ChatForm> mp_shown;
    bool m_initialised = false;
    quint64 m_uses = 0;
};

extern ChatsForm* chatsForm;
