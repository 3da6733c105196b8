#pragma once

#include "Data.h"
#include "DataSaver.h"

#include <QStringList>

#include <functional>

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
    for (Type* type : ip_data->GetTypes())
    {
        for (const ItemPtr& item : type->GetItems())
        {
            const QString self = QString::fromStdString(type->GetName()) + QLatin1Char('=')
                                 + QString::fromLatin1(QByteArray::fromStdString(item.AsStdString()).toHex());
            lines << self;
            for (Type* other : ip_data->GetTypes())
            {
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

// Records events as text lines, and can be told to do things from inside a handler.
class Recorder : public DataHandler
{
public:
    QStringList log;
    std::function<void(ItemPtr)> onRemoved;

    void Created(ItemPtr i_item) { log << QStringLiteral("created ") + i_item.AsString(); }
    void Removed(ItemPtr i_item)
    {
        log << QStringLiteral("removed ") + i_item.AsString() + QStringLiteral(" links=")
                   + QString::number(i_item.IsDisconnectedFromAll() ? 0 : 1);
        if (onRemoved)
            onRemoved(i_item);
    }
    void Connected(ConnectionInfo& i_info)
    {
        log << QStringLiteral("+ ") + i_info.first.AsString() + QLatin1Char(' ') + i_info.second.AsString();
    }
    void Disconnected(ConnectionInfo i_info)
    {
        log << QStringLiteral("- ") + i_info.first.AsString() + QLatin1Char(' ') + i_info.second.AsString();
    }
    void Path(ItemPtr i_root) { log << QStringLiteral("path ") + i_root.AsString(); }
};
