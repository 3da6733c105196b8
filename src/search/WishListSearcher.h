#pragma once

#include <QObject>
#include <QTimer>

// Sends the enabled wish-list searches to the network, one per tick of a timer whose interval the
// server dictates, in alphabetical order, round robin. Idle until the server has sent its
// interval. Where it stands in the list is an unsaved setting, so every start begins at the top.
class WishListSearcher : public QObject
{
    Q_OBJECT

public:
    explicit WishListSearcher(QObject* ip_parent = nullptr);
    ~WishListSearcher() override;

    // The timer interval for the server's wait in seconds; 0 leaves the timer stopped.
    static int IntervalMs(uint i_waitPeriod);

    const QTimer& Timer() const { return m_timer; }

public slots:
    void OnWishListWait(uint i_waitPeriod);
    void OnSearchTimerTimeout();

private:
    QTimer m_timer;
};

extern WishListSearcher* wishListSearcher;
