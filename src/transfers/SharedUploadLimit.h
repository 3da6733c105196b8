#pragma once

#include <QMutex>
#include <QtGlobal>

// The part of the upload speed limit that the upload threads share with the engine: the total,
// each upload's share of it, and the budget of allowance the uploads pass to each other. Every
// call takes the mutex alone, briefly; nothing else is done while it is held.
class SharedUploadLimit
{
public:
    // A limit in force: the share of each upload, and a budget that starts empty.
    void Set(int i_total, int i_perUpload);
    // No limit; the budget is kept.
    void Clear();

    // KB/s; 0: no limit.
    int Total();
    int PerUpload();

    // Pays what it can of io_unpaid from the budget.
    void Pay(qint64& io_unpaid);
    void Add(qint64 i_surplus);
    qint64 Budget();

private:
    QMutex m_mutex;
    int m_total = 0;
    int m_perUpload = 0;
    qint64 m_budget = 0;
};
