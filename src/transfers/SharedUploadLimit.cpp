#include "SharedUploadLimit.h"

#include <QMutexLocker>

void SharedUploadLimit::Set(int i_total, int i_perUpload)
{
    QMutexLocker lock(&m_mutex);
    m_total = i_total;
    m_perUpload = i_perUpload;
    m_budget = 0;
}

void SharedUploadLimit::Clear()
{
    QMutexLocker lock(&m_mutex);
    m_total = 0;
    m_perUpload = 0;
}

int SharedUploadLimit::Total()
{
    QMutexLocker lock(&m_mutex);
    return m_total;
}

int SharedUploadLimit::PerUpload()
{
    QMutexLocker lock(&m_mutex);
    return m_perUpload;
}

void SharedUploadLimit::Pay(qint64& io_unpaid)
{
    QMutexLocker lock(&m_mutex);
    if (io_unpaid < m_budget)
    {
        m_budget -= io_unpaid;
        io_unpaid = 0;
    }
    else
    {
        io_unpaid -= m_budget;
        m_budget = 0;
    }
}

void SharedUploadLimit::Add(qint64 i_surplus)
{
    QMutexLocker lock(&m_mutex);
    m_budget += i_surplus;
}

qint64 SharedUploadLimit::Budget()
{
    QMutexLocker lock(&m_mutex);
    return m_budget;
}
