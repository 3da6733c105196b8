#include "ChatsForm.h"

#include "ChatForm.h"
#include "FocusHelpers.h"
#include "MessageListForm.h"
#include "Server.h"
#include "ServerSchema.h"
#include "ShellSchema.h"
#include "TextUtils.h"
#include "UserTargets.h"
#include "ui_ChatsForm.h"

#include <QIcon>
#include <QTabBar>

ChatsForm* chatsForm = nullptr;

namespace
{
using Handler = EventHandler<ChatsForm, ItemPtr>;

QIcon OnlineIcon(bool i_online)
{
    return QIcon(i_online ? QStringLiteral(":/icons/online_icon") : QStringLiteral(":/icons/offline_icon"));
}
} // namespace

ChatsForm::ChatsForm(QWidget* ip_parent)
    : QWidget(ip_parent)
    , ui(new Ui::ChatsForm)
    , mp_messageList(new MessageListForm(this))
    , mp_waiting(new QTabWidget(this))
{
    ui->setupUi(this);
    chatsForm = this;
    mp_waiting->hide();
    mp_waiting->addTab(new QWidget, QString());
    connect(mp_waiting, &QTabWidget::currentChanged, this, &ChatsForm::OnWaitingChatChosen);
    connect(ui->chatTabControl, &QTabWidget::tabCloseRequested, this, &ChatsForm::OnChatTabClosed);
    connect(ui->chatTabControl, &QTabWidget::currentChanged, this, &ChatsForm::OnCurrentTabChanged);
    // The message list stays: its tab has no close button.
    ui->chatTabControl->addTab(mp_messageList, QIcon(QStringLiteral(":/icons/chat_icon")), QStringLiteral("Messages"));
    QTabBar* bar = ui->chatTabControl->tabBar();
    for (QTabBar::ButtonPosition side : {QTabBar::LeftSide, QTabBar::RightSide})
        if (QWidget* button = bar->tabButton(0, side))
        {
            bar->setTabButton(0, side, nullptr);
            button->deleteLater();
        }
}

ChatsForm::~ChatsForm()
{
    if (chatsForm == this)
    {
        chatsForm = nullptr;
        if (m_initialised)
            UserTargets::Register(UserTargets::PrivateChat, {});
    }
    // The tabs go with the widget's children, after the form: their changes are no uses.
    disconnect(ui->chatTabControl, nullptr, this, nullptr);
    delete ui;
}

void ChatsForm::Init()
{
    const auto onlinePath = [](PathNodeRelation i_relation) {
        auto* root = new PathNode(d, types::kUser);
        new PathNode(root, types::kIsOnline, i_relation);
        return root;
    };
    d->AddPathEventHandler(onlinePath(PathOnConnect), new Handler(this, &ChatsForm::OnUserOnline));
    d->AddPathEventHandler(onlinePath(PathExcluded), new Handler(this, &ChatsForm::OnUserOffline));
    UserTargets::Register(UserTargets::PrivateChat, [this](const QString& i_user) { OpenChatForm(i_user); });
    m_initialised = true;
}

QTabWidget* ChatsForm::Tabs() const
{
    return ui->chatTabControl;
}

ChatForm* ChatsForm::GetChatForm(const QString& i_user)
{
    const ItemPtr user = d->GetType(types::kUser)->GetItem(Value(i_user));
    if (ChatForm* form = user[types::kUserChatWidget].AsPointer<ChatForm>())
        return form;
    auto* form = new ChatForm(i_user, ui->chatTabControl, this);
    if (ui->chatTabControl->count() < kTabsOnBar && mp_waiting->count() == 1)
        AddTab(form);
    else
        mp_waiting->addTab(form, QString());
    // The server then reports the user's status, which the icon and the away lines follow.
    if (gp_server)
        gp_server->TrackUser(i_user);
    return form;
}

void ChatsForm::AddTab(ChatForm* ip_form)
{
    const ItemPtr user = d->GetType(types::kUser)->GetItem(Value(ip_form->UserName()));
    ui->chatTabControl->addTab(ip_form, OnlineIcon(user.IsConnected(types::kIsOnline)),
                               MnemonicText(ip_form->UserName()));
}

void ChatsForm::OnWaitingChatChosen(int i_index)
{
    if (i_index <= 0)
        return;
    auto* form = static_cast<ChatForm*>(mp_waiting->widget(i_index));
    mp_waiting->setCurrentIndex(0);
    mp_waiting->removeTab(i_index);
    if (ui->chatTabControl->count() >= kTabsOnBar)
        if (ChatForm* leaving = LeastUsedTab())
        {
            ui->chatTabControl->removeTab(ui->chatTabControl->indexOf(leaving));
            mp_waiting->addTab(leaving, QString());
        }
    AddTab(form);
    ui->chatTabControl->setCurrentWidget(form);
}

ChatForm* ChatsForm::LeastUsedTab() const
{
    ChatForm* least = nullptr;
    // The current tab is in sight: in use now.
    const QWidget* current = ui->chatTabControl->currentWidget();
    for (int index = 0; index < ui->chatTabControl->count(); ++index)
    {
        auto* form = qobject_cast<ChatForm*>(ui->chatTabControl->widget(index));
        if (form && form != current && (!least || form->LastUse() < least->LastUse()))
            least = form;
    }
    return least;
}

void ChatsForm::OnCurrentTabChanged()
{
    if (mp_shown)
        mp_shown->MarkUsed();
    mp_shown = qobject_cast<ChatForm*>(ui->chatTabControl->currentWidget());
    if (mp_shown)
        mp_shown->MarkUsed();
}

void ChatsForm::TakeWaitingChats()
{
    while (ui->chatTabControl->count() < kTabsOnBar && mp_waiting->count() > 1)
    {
        auto* form = static_cast<ChatForm*>(mp_waiting->widget(1));
        mp_waiting->removeTab(1);
        AddTab(form);
    }
}

void ChatsForm::OpenChatForm(const QString& i_user)
{
    GetChatForm(i_user)->Focus();
}

void ChatsForm::OnChatTabClosed(int i_index)
{
    QWidget* page = ui->chatTabControl->widget(i_index);
    if (page && page != mp_messageList)
    {
        delete page;
        TakeWaitingChats();
    }
}

void ChatsForm::OnUserOnline(ItemPtr i_user)
{
    SetTabIcon(i_user, true);
}

void ChatsForm::OnUserOffline(ItemPtr i_user)
{
    SetTabIcon(i_user, false);
}

void ChatsForm::SetTabIcon(const ItemPtr& i_user, bool i_online)
{
    const int index = ui->chatTabControl->indexOf(i_user[types::kUserChatWidget].AsPointer<ChatForm>());
    if (index >= 0)
        ui->chatTabControl->setTabIcon(index, OnlineIcon(i_online));
}
