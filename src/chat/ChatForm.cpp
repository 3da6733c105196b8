#include "ChatForm.h"

#include "ActionSetToolBar.h"
#include "ChatLines.h"
#include "ChatLog.h"
#include "ChatLogForm.h"
#include "ChatsForm.h"
#include "EventToolBar.h"
#include "FocusHelpers.h"
#include "Server.h"
#include "ServerSchema.h"
#include "ShellSchema.h"
#include "TextUtils.h"
#include "TimerManager.h"
#include "TransfersSchema.h"
#include "UserMenuOptions.h"
#include "ui_ChatForm.h"

#include <QDesktopServices>
#include <QMenu>
#include <QTabWidget>

namespace
{
using Handler = EventHandler<ChatForm, ItemPtr>;
} // namespace

ChatForm::ChatForm(const QString& i_user, QTabWidget* ip_tabWidget, ChatsForm* ip_chats)
    : QWidget(ip_chats)
    , ui(new Ui::ChatForm)
    , m_user(i_user)
    , mp_tabWidget(ip_tabWidget)
    , mp_chats(ip_chats)
{
    ui->setupUi(this);
    MarkUsed();
    m_userItem = d->GetType(types::kUser)->GetItem(Value(m_user));
    m_userItem += d->GetType(types::kUserChatWidget)->GetItem(Value(this));
    RegisterWidgetForTabFocus(ui->chatEdit, 1);
    m_chatView = std::make_unique<ChatView>(ui->chatView, false);
    if (timerManager)
        connect(timerManager->halfMinuteTimer(), &QTimer::timeout, this, &ChatForm::CheckChatInactivity);
    if (actionBar)
    {
        actionBar->RegisterWidget(this, QStringLiteral("user_chat"));
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &ChatForm::OnActionTriggered);
    }
    ShowSentWarning();

    auto* away = new PathNode(m_userItem);
    new PathNode(away, types::kIsAway, PathOnConnect);
    d->AddPathEventHandler(away, new Handler(this, &ChatForm::OnUserAway));
    auto* back = new PathNode(m_userItem);
    new PathNode(back, types::kIsAway, PathOnDisconnect);
    d->AddPathEventHandler(back, new Handler(this, &ChatForm::OnUserAvailable));
    if (m_userItem.IsConnected(types::kIsAway))
        OnUserAway(m_userItem);

    connect(ui->chatEdit, &QLineEdit::returnPressed, this, &ChatForm::OnEnter);
    connect(ui->chatView, &QTextBrowser::anchorClicked, this, &ChatForm::OnURLClicked);
    connect(ui->chatView, &QWidget::customContextMenuRequested, this, &ChatForm::OnContextMenuRequested);
}

ChatForm::~ChatForm()
{
    if (ItemPtr widget = m_userItem[types::kUserChatWidget]; widget.AsPointer<ChatForm>() == this)
        widget.Remove();
    delete ui;
}

void ChatForm::ShowSentWarning()
{
    if (!d->HasType(types::kSentEmptyShareWarningMessage))
        return;
    const ItemPtr warning = m_userItem[types::kSentEmptyShareWarningMessage];
    if (!warning)
        return;
    AddChat(GetSetting(settings::kUsername), warning.AsString());
    // The warning was sent once; shown, logged and announced once. The item is one per text and
    // shared by every user warned with it, so the user lets go of it rather than marking it.
    m_userItem -= warning;
}

// ---- lines ----

void ChatForm::AddChat(const QString& i_user, const QString& i_text)
{
    MarkUsed();
    bool ordinary = false;
    LogChat(m_chatView->AddWrittenLine(i_user, i_text, &ordinary));
    if (ordinary && eventToolBar)
        eventToolBar->AddEvent(MnemonicText(m_user), QStringLiteral(":/icons/chat_icon"), ui->chatEdit,
                               ChatNoticeText(IsolatedName(i_user), i_text));
}

void ChatForm::MarkUsed()
{
    m_lastUse = mp_chats->NextUse();
}

void ChatForm::AddStatusMessage(const QString& i_text)
{
    m_chatView->AddStatusMessage(i_text);
}

void ChatForm::LogChat(const QString& i_line)
{
    AppendChatLog(ChatLogKind::User, m_userItem, i_line);
}

void ChatForm::CheckChatInactivity()
{
    m_chatView->CheckInactivity();
}

void ChatForm::OnEnter()
{
    const QString text = ui->chatEdit->text();
    // Offline nothing shows or logs the text as sent.
    if (text.isEmpty() || !m_chatView->CanSend())
        return;
    AddChat(GetSetting(settings::kUsername), text);
    gp_server->SendPrivateChat(m_user, text);
    ui->chatEdit->clear();
}

// ---- the partner ----

void ChatForm::OnUserAway(ItemPtr)
{
    AddStatusMessage(IsolatedName(m_user) + QStringLiteral(" is away."));
}

void ChatForm::OnUserAvailable(ItemPtr)
{
    AddStatusMessage(IsolatedName(m_user) + QStringLiteral(" is available."));
}

void ChatForm::OnContextMenuRequested(QPoint i_point)
{
    QMenu menu;
    UserMenuOptions::Exec(menu, m_user, ui->chatView->viewport()->mapToGlobal(i_point));
}

void ChatForm::OnURLClicked(QUrl i_url)
{
    // Only web addresses: a line is another user's text, whatever its escaping let through.
    if (IsWebLink(i_url))
        QDesktopServices::openUrl(i_url);
    ui->chatEdit->setFocus(Qt::OtherFocusReason);
}

void ChatForm::OnActionTriggered(QWidget* ip_widget, QString i_action)
{
    if (ip_widget == this && i_action == QLatin1String("user_chat_log"))
        ChatLogForm::Open(mp_tabWidget, m_userItem, ChatLogKind::User);
}

void ChatForm::Focus()
{
    FocusWidgetAndParents(ui->chatEdit);
}

void ChatForm::showEvent(QShowEvent* ip_event)
{
    QWidget::showEvent(ip_event);
    if (eventToolBar)
        eventToolBar->RemoveEvents(ui->chatEdit);
}
