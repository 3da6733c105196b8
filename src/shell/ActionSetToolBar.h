#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QToolBar>

// The context tool bar whose actions follow the focused list. This holds the declared
// sets and bindings; showing and triggering them comes with the tool bar work.
class ActionSetToolBar : public QToolBar
{
    Q_OBJECT

public:
    struct SetAction
    {
        QString id;
        QString text;
        QString icon;
        bool needsListSelection = false;
    };

    explicit ActionSetToolBar(QWidget* ip_parent = nullptr);
    ~ActionSetToolBar() override;

    void Init();
    bool IsInitialised() const { return m_initialised; }
    void AddSetAction(const QString& i_set, const QString& i_id, const QString& i_text, const QString& i_icon,
                      bool i_needsListSelection);
    void RegisterWidget(QWidget* ip_widget, const QString& i_set);
    void AddWidgetColumnKey(QWidget* ip_tree, const QString& i_key, int i_column);
    QString GetKey(const QString& i_key) const;
    void SetWidgetActionText(QWidget* ip_widget, const QString& i_id, const QString& i_text);

    QList<SetAction> SetActions(const QString& i_set) const { return m_sets.value(i_set); }
    QString SetOfWidget(QWidget* ip_widget) const { return m_widgetSets.value(ip_widget); }

signals:
    void ActionTriggered(QWidget* ip_widget, QString i_id);

private:
    bool m_initialised = false;
    QHash<QString, QList<SetAction>> m_sets;
    QHash<QWidget*, QString> m_widgetSets;
    QHash<QString, QString> m_keys;
};

extern ActionSetToolBar* actionBar;
