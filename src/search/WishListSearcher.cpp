#include "WishListSearcher.h"

#include "Data.h"
#include "Log.h"
#include "Server.h"
#include "ShellSchema.h"

#include <algorithm>
#include <limits>

WishListSearcher* wishListSearcher = nullptr;

namespace
{
const QString LogArea = QStringLiteral("Wish List");
} // namespace

WishListSearcher::WishListSearcher(QObject* ip_parent)
    : QObject(ip_parent)
{
    wishListSearcher = this;
    if (gp_server)
        connect(gp_server, &Server::WishListWait, this, &WishListSearcher::OnWishListWait);
    SetVolatileSetting(settings::kWishListSearchIndex, QStringLiteral("0"));
    connect(&m_timer, &QTimer::timeout, this, &WishListSearcher::OnSearchTimerTimeout);
}

WishListSearcher::~WishListSearcher()
{
    if (wishListSearcher == this)
        wishListSearcher = nullptr;
}

int WishListSearcher::IntervalMs(uint i_waitPeriod)
{
    // A timer holds at most this many milliseconds; longer waits come out as the longest timer.
    constexpr qint64 longest = std::numeric_limits<int>::max();
    return int(std::min(qint64(i_waitPeriod) * 1000, longest));
}

void WishListSearcher::OnWishListWait(uint i_waitPeriod)
{
    SetVolatileSetting(settings::kWishListWait, QString::number(i_waitPeriod));
    m_timer.stop();
    const int interval = IntervalMs(i_waitPeriod);
    if (interval == 0)
    {
        // A timer of no interval would send a search at every turn of the event loop.
        Log(LogArea, 1, QStringLiteral("Wish list wait period of 0 seconds; no wish list searches are sent"));
        return;
    }
    Log(LogArea, 1, QStringLiteral("Wish list wait period set to %1 milliseconds").arg(interval));
    m_timer.setInterval(interval);
    m_timer.setSingleShot(false);
    m_timer.start();
}

void WishListSearcher::OnSearchTimerTimeout()
{
    const qint64 index = GetVolatileSetting(settings::kWishListSearchIndex).toLongLong();
    QStringList texts;
    for (const ItemPtr& item :
         d->GetType(types::kWishListItemEnabled)->GetGlobalNullItem().GetItems(types::kWishListItem))
        texts << item.AsString();
    // By UTF-16 code units: capitals before lower case.
    std::sort(texts.begin(), texts.end());
    if (texts.isEmpty())
        return;
    const QString text = texts.at(index <= 0 ? 0 : int(index % texts.size()));
    gp_server->FileSearch(text, true);
    Log(LogArea, 1, QStringLiteral("Sent wish list search: %1").arg(text));
    qint64 next = index + 1;
    if (quint64(next) >= quint64(texts.size()))
        next = 0;
    SetVolatileSetting(settings::kWishListSearchIndex, QString::number(next));
}
