#include "EventToolBar.h"

EventToolBar* eventToolBar = nullptr;

EventToolBar::EventToolBar(QWidget* ip_parent)
    : QToolBar(ip_parent)
{
    eventToolBar = this;
    setObjectName(QStringLiteral("eventToolBar"));
}

EventToolBar::~EventToolBar() = default;
