#include "ActionSetToolBar.h"

ActionSetToolBar* actionBar = nullptr;

ActionSetToolBar::ActionSetToolBar(QWidget* ip_parent)
    : QToolBar(ip_parent)
{
    actionBar = this;
}

ActionSetToolBar::~ActionSetToolBar() = default;

void ActionSetToolBar::Init()
{
    m_initialised = true;
}

void ActionSetToolBar::AddSetAction(const QString& i_set, const QString& i_id, const QString& i_text,
                                    const QString& i_icon, bool i_needsListSelection)
{
    m_sets[i_set].append(SetAction{i_id, i_text, i_icon, i_needsListSelection});
}

void ActionSetToolBar::RegisterWidget(QWidget* ip_widget, const QString& i_set)
{
    m_widgetSets.insert(ip_widget, i_set);
    connect(ip_widget, &QObject::destroyed, this, [this, ip_widget] { m_widgetSets.remove(ip_widget); });
}

void ActionSetToolBar::AddWidgetColumnKey(QWidget*, const QString&, int) {}

QString ActionSetToolBar::GetKey(const QString& i_key) const
{
    return m_keys.value(i_key);
}

void ActionSetToolBar::SetWidgetActionText(QWidget*, const QString&, const QString&) {}
