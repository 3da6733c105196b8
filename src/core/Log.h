#pragma once

#include "Data.h"

#include <QString>

// The one logging function: area, level (1 = top), text, and optionally the item it concerns.
void Log(const QString& i_area, int i_level, const QString& i_text, ItemPtr i_item = ItemPtr());
