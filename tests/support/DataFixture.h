#pragma once

#include "Data.h"
#include "DataSaver.h"

#include <QStringList>

#include <memory>

// A fresh store (and saver) per test case: `d` and `dataSaver` point at them while the case runs.
class DataFixture
{
public:
    void Begin()
    {
        m_saver.reset();
        m_data = std::make_unique<Data>();
        d = m_data.get();
        m_saver = std::make_unique<DataSaver>();
    }
    void End()
    {
        m_saver.reset();
        m_data.reset();
    }
    // Replaces the store by a new one, keeping nothing; the saver stays.
    void NewStore()
    {
        m_data = std::make_unique<Data>();
        d = m_data.get();
    }

private:
    std::unique_ptr<Data> m_data;
    std::unique_ptr<DataSaver> m_saver;
};

// The whole store as sorted text lines, to compare two stores or one store before and after.
inline QStringList DumpStore(Data* ip_data = d)
{
    QStringList lines;
    for (Type* type : ip_data->GetTypes()) {
        for (const ItemPtr& item : type->GetItems()) {
            const QString self = QString::fromStdString(type->GetName()) + QLatin1Char('=')
                + QString::fromLatin1(QByteArray::fromStdString(item.AsStdString()).toHex());
            lines << self;
            for (Type* other : ip_data->GetTypes()) {
                if (!type->IsRelatedTo(other))
                    continue;
                for (const ItemPtr& linked : item.GetItems(other->GetName().c_str()))
                    lines << self + QStringLiteral(" -> ") + QString::fromStdString(other->GetName()) + QLatin1Char('=')
                            + QString::fromLatin1(QByteArray::fromStdString(linked.AsStdString()).toHex());
            }
        }
    }
    lines.sort();
    return lines;
}
