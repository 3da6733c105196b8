// The context tool bar: its sets, widgets and keys are items of the data model, never saved.
#include "ActionSetToolBar.h"

#include "CoreSchema.h"
#include "Server.h"
#include "ServerSchema.h"
#include "ShellSchema.h"
#include "StartupPrompts.h"
#include "WebPages.h"
#include "WindowHost.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTreeWidget>

ActionSetToolBar* actionBar = nullptr;

namespace
{
// A setting, or "" while the settings are not declared yet.
QString ReadSetting(const QString& i_key)
{
    return d && d->HasType(types::kGlobal) ? GetSetting(i_key) : QString();
}

// Gives the key its value; the value it had goes when nothing else holds it.
void SetActiveKey(const QString& i_key, const QString& i_value)
{
    ItemPtr key = d->GetType(types::kActiveActionKey)->GetItem(i_key);
    ItemPtr old = key[types::kActiveActionValue];
    key += d->GetType(types::kActiveActionValue)->GetItem(i_value);
    if (old && old.IsDisconnectedFromAll())
        old.Remove();
}

QString StatusIcon(bool i_available)
{
    return i_available ? QStringLiteral(":/icons/online_icon") : QStringLiteral(":/icons/away_icon");
}

QString StatusText(bool i_available)
{
    return i_available ? QStringLiteral("Available") : QStringLiteral("Away");
}
} // namespace

ActionSetToolBar::ActionSetToolBar(QWidget* ip_parent)
    : QToolBar(ip_parent)
{
    actionBar = this;
    connect(qApp, &QApplication::focusChanged, this, &ActionSetToolBar::OnApplicationFocusChanged);
    DeclareTypes();
    AddSupportVeltraneButton();
}

ActionSetToolBar::~ActionSetToolBar()
{
    // Focus moves while the windows are torn down must not reach a half-destroyed bar.
    disconnect(qApp, nullptr, this, nullptr);
    if (actionBar == this)
        actionBar = nullptr;
}

void ActionSetToolBar::DeclareTypes()
{
    // The main window's form builds the bar before the store exists; Init declares them then.
    if (!d || d->HasType(types::kToolbarActionSet))
        return;
    const struct
    {
        const char* name;
        Primacy primacy;
        bool isNull;
    } declared[] = {{types::kToolbarActionSet, Primary, false},      {types::kToolbarAction, Primary, true},
                    {types::kToolbarActionId, Primary, false},       {types::kToolbarActionOrder, Tertiary, false},
                    {types::kToolbarActionWidget, Primary, false},   {types::kActionKeyValuePair, Primary, true},
                    {types::kActionKey, Secondary, false},           {types::kActionValue, Tertiary, false},
                    {types::kActionKeyColumnPair, Primary, true},    {types::kActionColumn, Tertiary, false},
                    {types::kActiveActionKey, Primary, false},       {types::kActiveActionValue, Tertiary, false},
                    {types::kWidgetActionText, Tertiary, false},     {types::kWidgetActionHidden, Tertiary, true},
                    {types::kToolbarActionObject, Secondary, false}, {types::kToolbarActionIcon, Tertiary, false},
                    {types::kToolbarActionText, Tertiary, false},    {types::kNeedsListSelection, Tertiary, true}};
    for (const auto& type : declared)
        d->NewType(type.name, type.primacy, type.isNull, true);

    // Each row: A, B, how many B one A holds, how many A one B holds.
    const struct
    {
        const char* a;
        const char* b;
        OneOrMany bPerA;
        OneOrMany aPerB;
    } relations[] = {{types::kToolbarActionSet, types::kToolbarAction, Many, One},
                     {types::kToolbarAction, types::kToolbarActionId, One, Many},
                     {types::kToolbarAction, types::kToolbarActionOrder, One, Many},
                     {types::kToolbarAction, types::kToolbarActionIcon, One, Many},
                     {types::kToolbarAction, types::kToolbarActionText, One, Many},
                     {types::kToolbarAction, types::kNeedsListSelection, One, Many},
                     {types::kToolbarActionSet, types::kToolbarActionWidget, Many, One},
                     {types::kActionKeyValuePair, types::kToolbarActionWidget, One, Many},
                     {types::kActionKeyValuePair, types::kActionKey, One, Many},
                     {types::kActionKeyValuePair, types::kActionValue, One, Many},
                     {types::kActionKeyColumnPair, types::kToolbarActionWidget, One, Many},
                     {types::kActionKeyColumnPair, types::kActionKey, One, Many},
                     {types::kActionKeyColumnPair, types::kActionColumn, One, Many},
                     {types::kActiveActionKey, types::kActiveActionValue, One, Many},
                     {types::kWidgetActionText, types::kToolbarActionWidget, Many, Many},
                     {types::kWidgetActionText, types::kToolbarActionId, Many, Many},
                     {types::kWidgetActionHidden, types::kToolbarActionWidget, One, Many},
                     {types::kWidgetActionHidden, types::kToolbarActionId, One, Many},
                     {types::kToolbarAction, types::kToolbarActionObject, One, One}};
    for (const auto& relation : relations)
        d->GetType(relation.a)->RelateToType(d->GetType(relation.b), relation.aPerB, relation.bPerA, false);
}

void ActionSetToolBar::Init()
{
    DeclareTypes();
    // The server hears "away" at login only for a stored "away": a first start is available, and
    // the button must say so.
    if (d->HasType(types::kGlobal))
        SetDefaultSetting(settings::kAvailabilityStatus, QStringLiteral("available"));
    if (gp_server)
        connect(gp_server, &Server::ReceivedOwnPrivilegesStatus, this,
                &ActionSetToolBar::OnReceivedOwnPrivilegesStatus);
    m_initialised = true;
}

void ActionSetToolBar::AddSetAction(const QString& i_set, const QString& i_id, const QString& i_text,
                                    const QString& i_icon, bool i_needsListSelection)
{
    ItemPtr action = d->GetType(types::kToolbarAction)->NewItem();
    d->GetType(types::kToolbarActionSet)->GetItem(i_set) += action;
    action += d->GetType(types::kToolbarActionId)->GetItem(i_id);
    action += d->GetType(types::kToolbarActionIcon)->GetItem(i_icon);
    action += d->GetType(types::kToolbarActionText)->GetItem(i_text);
    action += d->GetType(types::kToolbarActionOrder)->GetItem(Value(static_cast<unsigned long long>(m_actionOrder++)));
    if (i_needsListSelection)
        action += d->GetType(types::kNeedsListSelection)->GetGlobalNullItem();
}

void ActionSetToolBar::RegisterWidget(QWidget* ip_widget, const QString& i_set)
{
    d->GetType(types::kToolbarActionSet)->GetItem(i_set) +=
        d->GetType(types::kToolbarActionWidget)->GetItem(Value(ip_widget));
    connect(ip_widget, &QObject::destroyed, this, &ActionSetToolBar::OnWidgetDestroyed, Qt::UniqueConnection);
}

void ActionSetToolBar::AddWidgetKey(QWidget* ip_widget, const QString& i_key, const QString& i_value)
{
    AddKeyPair(ip_widget, types::kActionKeyValuePair, i_key, d->GetType(types::kActionValue)->GetItem(i_value));
}

void ActionSetToolBar::AddWidgetColumnKey(QWidget* ip_widget, const QString& i_key, int i_column)
{
    AddKeyPair(ip_widget, types::kActionKeyColumnPair, i_key,
               d->GetType(types::kActionColumn)->GetItem(Value(i_column)));
}

void ActionSetToolBar::AddKeyPair(QWidget* ip_widget, const char* i_pairType, const QString& i_key, ItemPtr i_value)
{
    const ItemPtr widget = d->GetType(types::kToolbarActionWidget)->HasItem(Value(ip_widget));
    if (!widget)
        return;
    ItemPtr pair = d->GetType(i_pairType)->NewItem();
    pair += widget;
    pair += d->GetType(types::kActionKey)->GetItem(i_key);
    pair += i_value;
}

QString ActionSetToolBar::GetKey(const QString& i_key) const
{
    return d->GetType(types::kActiveActionKey)->HasItem(i_key)[types::kActiveActionValue].AsString();
}

QList<QAction*> ActionSetToolBar::ShownActions(const ItemPtr& i_id) const
{
    QList<QAction*> shown;
    for (const ItemPtr& object : d->GetType(types::kToolbarActionObject)->GetItems())
        if (object[types::kToolbarAction][types::kToolbarActionId] == i_id)
            shown.append(object.AsPointer<QAction>());
    return shown;
}

void ActionSetToolBar::SetWidgetActionText(QWidget* ip_widget, const QString& i_id, const QString& i_text)
{
    if (g_showIsOver)
        return;
    ItemPtr widget = d->GetType(types::kToolbarActionWidget)->HasItem(Value(ip_widget));
    const ItemPtr id = d->GetType(types::kToolbarActionId)->HasItem(i_id);
    if (!widget || !id)
        return;
    ItemPtr old = d->GetItem(widget, id, types::kWidgetActionText);
    ItemPtr text = d->GetType(types::kWidgetActionText)->GetItem(i_text);
    if (old != text)
    {
        widget -= old;
        text += widget;
        text += id;
        // A text no widget shows any more is of no use; counts in titles would pile up.
        if (old && !old.IsConnected(types::kToolbarActionWidget))
            old.Remove();
    }
    if (ip_widget == mp_currentWidget)
        for (QAction* action : ShownActions(id))
            action->setText(i_text);
}

void ActionSetToolBar::SetWidgetActionHidden(QWidget* ip_widget, const QString& i_id, bool i_hidden)
{
    const ItemPtr widget = d->GetType(types::kToolbarActionWidget)->HasItem(Value(ip_widget));
    const ItemPtr id = d->GetType(types::kToolbarActionId)->HasItem(i_id);
    if (!widget || !id)
        return;
    ItemPtr marker = d->GetItem(widget, id, types::kWidgetActionHidden);
    if (marker)
    {
        // Unhiding leaves a button now on the bar as it is until the next rebuild.
        if (!i_hidden)
            marker.Remove();
        return;
    }
    if (i_hidden)
    {
        marker = d->GetType(types::kWidgetActionHidden)->NewItem();
        marker += widget;
        marker += id;
    }
    if (ip_widget == mp_currentWidget)
        for (QAction* action : ShownActions(id))
            action->setVisible(!i_hidden);
}

void ActionSetToolBar::Clear()
{
    m_currentSet.clear();
    ClearAndDeleteActions();
}

void ActionSetToolBar::ClearAndDeleteActions()
{
    for (QAction* action : actions())
    {
        removeAction(action);
        action->deleteLater();
    }
    // No item may name an action that is going, or a text change would reach a deleted one.
    for (ItemPtr object : d->GetType(types::kToolbarActionObject)->GetItems())
        object.Remove();

    const bool available = ReadSetting(settings::kAvailabilityStatus) == QLatin1String("available");
    mp_statusButton = new QPushButton(Icon(StatusIcon(available)), StatusText(available), this);
    mp_statusButton->setObjectName(QStringLiteral("statusButton"));
    // A button that took the focus would clear the set it is shown with.
    mp_statusButton->setFocusPolicy(Qt::NoFocus);
    addWidget(mp_statusButton);
    addWidget(new QLabel(QStringLiteral(" "), this));
    connect(mp_statusButton, &QPushButton::clicked, this, &ActionSetToolBar::OnStatusButtonClicked);
}

void ActionSetToolBar::AddSupportVeltraneButton()
{
    addAction(QString());
    auto* spacer = new QWidget(this);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    addWidget(spacer);
    const qint64 seconds = ReadSetting(settings::kPrivilegesTimeLeft).toLongLong();
    mp_supportButton = new QPushButton(SupportText(seconds), this);
    mp_supportButton->setObjectName(QStringLiteral("supportButton"));
    mp_supportButton->setFocusPolicy(Qt::NoFocus);
    addWidget(mp_supportButton);
    connect(mp_supportButton, &QPushButton::clicked, this, &ActionSetToolBar::OnSupportVeltraneButtonClicked);
}

QString ActionSetToolBar::SupportText(qint64 i_seconds)
{
    if (i_seconds < 1)
        return QStringLiteral("Support Veltrane!");
    // To the nearest whole day, half a day rounding up.
    return QStringLiteral("%1 Days Left").arg((i_seconds + 43200) / 86400);
}

QIcon ActionSetToolBar::Icon(const QString& i_path)
{
    return m_icons.Get(i_path);
}

void ActionSetToolBar::ChangeSet(QWidget* ip_widget, const QString& i_set)
{
    if (i_set == m_currentSet && ip_widget == mp_currentWidget)
        return;
    m_currentSet = i_set;
    mp_currentWidget = ip_widget;
    ClearAndDeleteActions();

    const ItemPtr widget = m_currentWidgetItem;
    const ItemSet actions = d->GetType(types::kToolbarActionSet)->GetItem(i_set).GetItems(types::kToolbarAction);
    for (ItemPtr action : actions.SortNumericBy(types::kToolbarActionOrder, true))
    {
        const ItemPtr id = action[types::kToolbarActionId];
        const ItemPtr ownText = d->GetItem(widget, id, types::kWidgetActionText);
        QAction* shown = addAction(Icon(action[types::kToolbarActionIcon].AsString()),
                                   ownText ? ownText.AsString() : action[types::kToolbarActionText].AsString());
        if (d->GetItem(widget, id, types::kWidgetActionHidden))
            shown->setVisible(false);
        connect(shown, &QAction::triggered, this, &ActionSetToolBar::OnActionTriggered);
        action += d->GetType(types::kToolbarActionObject)->GetItem(Value(shown));
    }
    AddSupportVeltraneButton();
}

void ActionSetToolBar::OnApplicationFocusChanged(QWidget*, QWidget* ip_widget)
{
    if (!m_initialised || g_showIsOver || m_inFocusChange || !ip_widget)
        return;
    m_inFocusChange = true;

    // A tab widget, or its tab bar, stands for its current page.
    QWidget* focused = ip_widget;
    for (;;)
    {
        auto* tabs = qobject_cast<QTabWidget*>(focused);
        if (!tabs && qobject_cast<QTabBar*>(focused))
            tabs = qobject_cast<QTabWidget*>(focused->parentWidget());
        if (!tabs || !tabs->currentWidget() || tabs->currentWidget() == focused)
            break;
        focused = tabs->currentWidget();
    }

    // Up to the nearest registered widget, noting the first list met on the way.
    mp_currentTree = nullptr;
    ItemPtr registered;
    QWidget* widget = focused;
    for (; widget; widget = widget->parentWidget())
    {
        registered = d->GetType(types::kToolbarActionWidget)->HasItem(Value(widget));
        if (!mp_currentTree)
            mp_currentTree = qobject_cast<QTreeWidget*>(widget);
        if (registered)
            break;
    }
    if (!registered)
    {
        Clear();
        AddSupportVeltraneButton();
        m_inFocusChange = false;
        return;
    }

    m_currentWidgetItem = registered;
    ChangeSet(widget, registered[types::kToolbarActionSet].AsString());
    for (const ItemPtr& pair : registered.GetItems(types::kActionKeyValuePair))
        SetActiveKey(pair[types::kActionKey].AsString(), pair[types::kActionValue].AsString());
    m_inFocusChange = false;
}

void ActionSetToolBar::OnActionTriggered(bool)
{
    if (g_showIsOver)
        return;
    const ItemPtr action = d->GetType(types::kToolbarActionObject)->HasItem(Value(sender()))[types::kToolbarAction];
    if (!action)
        return;
    if (mp_currentTree)
    {
        // The first row as the tree reports its selection, which need not be the display order.
        const QList<QTreeWidgetItem*> selected = mp_currentTree->selectedItems();
        if (selected.isEmpty())
        {
            if (action.IsConnected(types::kNeedsListSelection))
                return;
        }
        else
        {
            for (const ItemPtr& pair : m_currentWidgetItem.GetItems(types::kActionKeyColumnPair))
                SetActiveKey(pair[types::kActionKey].AsString(),
                             selected.first()->text(pair[types::kActionColumn].AsInt()));
        }
    }
    emit ActionTriggered(mp_currentWidget, action[types::kToolbarActionId].AsString());
}

void ActionSetToolBar::Forget(ItemPtr i_widget)
{
    i_widget.GetItems(types::kActionKeyValuePair).Remove();
    i_widget.GetItems(types::kActionKeyColumnPair).Remove();
    i_widget.GetItems(types::kWidgetActionHidden).Remove();
    const ItemSet texts = i_widget.GetItems(types::kWidgetActionText);
    i_widget.Remove();
    for (ItemPtr text : texts)
        if (!text.IsConnected(types::kToolbarActionWidget))
            text.Remove();
}

void ActionSetToolBar::OnWidgetDestroyed(QObject* ip_widget)
{
    if (g_showIsOver)
        return;
    // A widget made later at the same address must not find this one's keys, texts or marks.
    if (const ItemPtr widget = d->GetType(types::kToolbarActionWidget)->HasItem(Value(ip_widget)))
        Forget(widget);
    if (ip_widget == mp_currentWidget)
    {
        mp_currentWidget = nullptr;
        m_currentWidgetItem = ItemPtr();
        Clear();
        AddSupportVeltraneButton();
    }
}

void ActionSetToolBar::OnSupportVeltraneButtonClicked()
{
    OpenOnDesktop(this, {PrivilegesPage(ReadSetting(settings::kUsername))});
}

void ActionSetToolBar::OnReceivedOwnPrivilegesStatus(int i_seconds)
{
    if (mp_supportButton)
        mp_supportButton->setText(SupportText(i_seconds));
}

void ActionSetToolBar::OnStatusButtonClicked()
{
    if (!gp_server)
        return;
    const bool available = ReadSetting(settings::kAvailabilityStatus) != QLatin1String("available");
    gp_server->SetAvailabilityStatus(available);
    if (mp_statusButton)
    {
        mp_statusButton->setIcon(Icon(StatusIcon(available)));
        mp_statusButton->setText(StatusText(available));
    }
    if (!gp_server->IsConnected())
        return;
    if (available)
        SetApplicationIcon(StatusIcon(true));
    else if (IsSettingOn(settings::kShowAwayStatusInApplicationIcon))
        SetApplicationIcon(StatusIcon(false));
}
