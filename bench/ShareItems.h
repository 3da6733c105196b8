#pragma once

#include "Data.h"
#include "SharesSchema.h"

#include <QString>

// The root of the benches' share in the data model, as a scan leaves it.
inline ItemPtr ShareRoot()
{
    return d->GetType(types::kSharedFolder)->GetItem(Value("/share"));
}

// A folder of 60,000 files whose names hardly compress: its contents answer is some 1.9 MB. Its
// remote path is returned.
inline QString MakeLargeFolder(const QString& i_path = QStringLiteral("/share/leeched"))
{
    ItemPtr folder = d->GetType(types::kSharedFileFolder)->GetItem(Value(i_path));
    folder.Connect(ShareRoot());
    Type* files = d->GetType(types::kSharedFile);
    Type* names = d->GetType(types::kSharedFileName);
    Type* sizes = d->GetType(types::kSharedFileSize);
    quint64 seed = 0x9e3779b97f4a7c15ull;
    for (int n = 0; n < 60000; ++n)
    {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        ItemPtr file = files->NewItem();
        file.Connect(folder);
        const quint64 more = seed * 0x2545f4914f6cdd1dull;
        file.Connect(names->GetItem(Value(QStringLiteral("%1 %2 %3.flac")
                                              .arg(seed, 16, 16, QLatin1Char('0'))
                                              .arg(more, 16, 16, QLatin1Char('0'))
                                              .arg((seed ^ more) >> 36, 7, 16, QLatin1Char('0')))));
        file.Connect(sizes->GetItem(Value(static_cast<long long>(seed >> 24))));
    }
    QString remote = i_path;
    return remote.replace(QLatin1Char('/'), QLatin1Char('\\'));
}
