#pragma once

// A user's description as the user information page shows it, the page at a window's size.

#include "UserInfoForm.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

class TimedDescription
{
public:
    TimedDescription()
    {
        m_page.resize(800, 600);
        m_page.show();
        m_exposed = QTest::qWaitForWindowExposed(&m_page);
    }

    bool Exposed() const { return m_exposed; }

    // The description from the reply to the painted page; the time in ms.
    double Show(const QString& i_description)
    {
        QElapsedTimer timer;
        timer.start();
        m_page.OnUserInfoReceived(m_page.User(), i_description, false, nullptr, 0, 1, 0, true);
        m_page.repaint();
        QApplication::processEvents();
        return timer.nsecsElapsed() / 1e6;
    }

private:
    UserInfoForm m_page;
    bool m_exposed = false;
};
