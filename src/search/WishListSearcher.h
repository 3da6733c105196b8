#pragma once

#include <QObject>

// Runs the wish-list searches.
class WishListSearcher : public QObject
{
    Q_OBJECT

public:
    explicit WishListSearcher(QObject* ip_parent = nullptr);
    ~WishListSearcher() override;
};

extern WishListSearcher* wishListSearcher;
