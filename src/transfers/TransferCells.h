#pragma once

#include "Data.h"

#include <QtGlobal>

#include <atomic>

// Heap cells behind the attribute items that transfer threads update while the GUI thread
// reads them: the item's value is the cell's address. Positions, counters and speeds are
// numbers; the two time cells hold engine-clock milliseconds (UTC), so comparing them never
// depends on the local time zone.
using PositionCell = std::atomic<qint64>;
using CounterCell = std::atomic<qint64>;
using SpeedCell = std::atomic<int>;
using TimeCell = std::atomic<qint64>;

// A new cell, linked under i_type to i_owner; the type's removal handler frees it
// (read_position excepted: whoever unlinks it frees it).
template<class Cell> Cell* NewTransferCell(ItemPtr i_owner, const char* i_type, qint64 i_start = 0)
{
    Cell* cell = new Cell(i_start);
    i_owner.Connect(d->GetType(i_type)->GetItem(Value(cell)));
    return cell;
}

// The cell the item of i_type linked to i_owner stands for, or null.
template<class Cell> Cell* TransferCell(const ItemPtr& i_owner, const char* i_type)
{
    return i_owner[i_type].AsPointer<Cell>();
}
