#pragma once

#include "Data.h"
#include "IconCache.h"

#include <QHash>
#include <QIcon>
#include <QPointer>
#include <QPushButton>
#include <QString>
#include <QToolBar>
#include <QTreeWidget>

// The context tool bar (global `actionBar`): its buttons follow the keyboard focus. Left to
// right it shows the availability status button, the actions of the focused widget's set, and
// the support button at the right edge.
//
// How a window uses it, in its Init (after MainWindow::Init has called actionBar->Init()):
//   actionBar->AddSetAction("my_list", "do_thing", "Do Thing", ":/icons/x", true);  // declare
//   actionBar->RegisterWidget(ui->myList, "my_list");        // the list, or the pane holding it
//   actionBar->AddWidgetColumnKey(ui->myList, "user", 0);    // filled from the selected row
//   actionBar->AddWidgetKey(this, "room", roomName);         // constant per widget
//   connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &MyForm::OnToolBarAction);
// and in the slot, for its own widgets only (every window hears every click):
//   if (ip_widget == ui->myList && i_action == "do_thing") Do(actionBar->GetKey("user"));
// One click emits once, with the keys of the first selected row; a window that acts on every
// selected row reads the selection itself. While the focus is in the registered widget but not
// in a list under it (a line edit of the pane), a click copies no column key.
//
// Widgets are known by their address; a destroyed widget is forgotten with its keys, texts and
// hidden marks. Nothing of the bar is saved: sets are declared again at every start.
class ActionSetToolBar : public QToolBar
{
    Q_OBJECT

public:
    explicit ActionSetToolBar(QWidget* ip_parent = nullptr);
    ~ActionSetToolBar() override;

    // Follows the focus from now on and listens to the server's privileges reply.
    void Init();

    // Appends an action to a set. Buttons appear in the order of these calls across all sets.
    // An action that needs a list selection is not emitted from a list with no selected row.
    void AddSetAction(const QString& i_set, const QString& i_id, const QString& i_text, const QString& i_icon,
                      bool i_needsListSelection);
    // Shows the set while the focus is in the widget or under it; a second call moves the widget
    // to another set.
    void RegisterWidget(QWidget* ip_widget, const QString& i_set);

    // The calls below need a registered widget and a declared id; otherwise they do nothing.

    // A key copied into the active keys each time the focus enters the widget.
    void AddWidgetKey(QWidget* ip_widget, const QString& i_key, const QString& i_value);
    // A key given, at each click, the text of this column of the first selected row of the list.
    void AddWidgetColumnKey(QWidget* ip_widget, const QString& i_key, int i_column);
    // The key's value for the click being handled; "" for a key never filled.
    QString GetKey(const QString& i_key) const;
    // The text of the id's button while this widget's set is shown (e.g. "Connect"/"Disconnect").
    void SetWidgetActionText(QWidget* ip_widget, const QString& i_id, const QString& i_text);
    // Hides or shows the id's button for this widget. A button hidden while shown keeps its
    // place; one unhidden while shown comes back at the next rebuild.
    void SetWidgetActionHidden(QWidget* ip_widget, const QString& i_id, bool i_hidden);

    QWidget* CurrentWidget() const { return mp_currentWidget; }
    QPushButton* StatusButton() const { return mp_statusButton; }
    QPushButton* SupportButton() const { return mp_supportButton; }

    // The support button's text for that many seconds of privileges.
    static QString SupportText(qint64 i_seconds);

signals:
    void ActionTriggered(QWidget* ip_widget, QString i_action);

public slots:
    void OnActionTriggered(bool);
    void OnApplicationFocusChanged(QWidget* ip_oldWidget, QWidget* ip_widget);
    void OnSupportVeltraneButtonClicked();
    void OnReceivedOwnPrivilegesStatus(int i_seconds);
    void OnWidgetDestroyed(QObject* ip_widget);
    void OnStatusButtonClicked();

private:
    void DeclareTypes();
    void Clear();
    void ClearAndDeleteActions();
    void AddSupportVeltraneButton();
    void ChangeSet(QWidget* ip_widget, const QString& i_set);
    // Every action now on the bar that carries the id.
    QList<QAction*> ShownActions(const ItemPtr& i_id) const;
    void AddKeyPair(QWidget* ip_widget, const char* i_pairType, const QString& i_key, ItemPtr i_value);
    void Forget(ItemPtr i_widget);
    // Loading an icon from its file is most of a rebuild's cost: each is loaded once.
    QIcon Icon(const QString& i_path);

    QString m_currentSet;
    ItemPtr m_currentWidgetItem;
    QPointer<QTreeWidget> mp_currentTree;
    QWidget* mp_currentWidget = nullptr;
    quint64 m_actionOrder = 0;
    bool m_inFocusChange = false;
    QPointer<QPushButton> mp_supportButton;
    QPointer<QPushButton> mp_statusButton;
    bool m_initialised = false;
    IconCache m_icons;
};

extern ActionSetToolBar* actionBar;
