#pragma once

#include <QToolBar>

// The notification bar every window posts events to.
class EventToolBar : public QToolBar
{
    Q_OBJECT

public:
    explicit EventToolBar(QWidget* ip_parent = nullptr);
    ~EventToolBar() override;
};

extern EventToolBar* eventToolBar;
