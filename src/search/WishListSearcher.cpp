#include "WishListSearcher.h"

WishListSearcher* wishListSearcher = nullptr;

WishListSearcher::WishListSearcher(QObject* ip_parent)
    : QObject(ip_parent)
{
    wishListSearcher = this;
}

WishListSearcher::~WishListSearcher()
{
    if (wishListSearcher == this)
        wishListSearcher = nullptr;
}
