#pragma once

// Small widget classes the forms promote their tab widgets and lists to.

#include <QElapsedTimer>
#include <QPointer>
#include <QProxyStyle>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTreeWidget>

class QAbstractItemView;
class QKeyEvent;
class Server;

// A tab widget that, when a tab is opened, focuses the page's widget of highest "get_focus"
// (see RegisterWidgetForTabFocus) and takes the activity mark off the tab's title.
class TabWidget : public QTabWidget
{
    Q_OBJECT

public:
    explicit TabWidget(QWidget* ip_parent = nullptr);

    // Colours the title of every enclosing TabWidget's tab that holds the widget but is not
    // current.
    static void MarkTabActivity(QWidget* ip_widget);

public slots:
    void OnTabChanged(int i_tab);
};

// A tree that announces each key press before handling it, so a slot still sees the current row
// the key was pressed on.
class TreeWidget : public QTreeWidget
{
    Q_OBJECT

public:
    using QTreeWidget::QTreeWidget;

signals:
    void KeyPressed(QKeyEvent* ip_event);

protected:
    void keyPressEvent(QKeyEvent* ip_event) override;
};

// The private chats' tab widget; no behaviour of its own.
class RoomTabWidget : public QTabWidget
{
    Q_OBJECT

public:
    using QTabWidget::QTabWidget;
};

// A style that hands every operation to the named base style unchanged.
class ProxyStyle : public QProxyStyle
{
    Q_OBJECT

public:
    explicit ProxyStyle(const QString& i_baseStyle)
        : QProxyStyle(i_baseStyle)
    {
    }
};

// Shows each cell's text isolated from the text around it, so direction controls in a name from
// the network cannot reorder what the cell shows; the rows keep their texts as they came.
class IsolatingDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QString displayText(const QVariant& i_value, const QLocale& i_locale) const override;

    // Gives the view this delegate.
    static void Install(QAbstractItemView* ip_view);
};

// Holds an item view's layouts and paints while the server's frames of one read wait for later
// turns, so that a long list that follows each message is laid out and painted a few times for a
// burst, not once a turn. Only the rows are held: a burst that goes on is painted every half
// second, and a view shown, resized or given input, to any of its parts too (its header, its
// scroll bars; a pointer moved with a button held among it), is painted at once; after such a
// release the view is held again only once that paint is done, so that a turn queued before it
// cannot hold it back. A view released as a burst ends may be held by the next burst at once.
class ServerBurstPaints : public QObject
{
    Q_OBJECT

public:
    // The longest a burst keeps a held view unpainted, and the longest a view released for a paint
    // waits for it before it may be held again.
    static constexpr qint64 LongestHoldMs = 500;

    // Owned by the view; follows the server there is when made, if any.
    explicit ServerBurstPaints(QAbstractItemView* ip_view);

    // Told before each change of the view: a change while the server's frames are handled holds
    // the view till their last turn.
    void Changing();

    // The view's own timers, its posted layout among them, wait with its paints; showing the view,
    // resizing it and a person's input end the hold, and its paint the wait for that paint.
    bool eventFilter(QObject* ip_watched, QEvent* ip_event) override;

private:
    void ShowInput();
    void OnTurnEnded(bool i_framesWaiting);
    void Release();

    QAbstractItemView* mp_view;
    QPointer<Server> mp_server;
    QElapsedTimer m_held;
    // Since a release whose paint is still to come.
    QElapsedTimer m_paintDue;
};
