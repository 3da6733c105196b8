#pragma once

#include "Data.h"
#include "SharesSchema.h"

#include <QString>

// The root of the benches' share in the data model, as a scan leaves it.
inline ItemPtr ShareRoot()
{
    return d->GetType(types::kSharedFolder)->GetItem(Value("/share"));
}

// The root, shared with everyone.
inline ItemPtr PublicShareRoot()
{
    ItemPtr root = ShareRoot();
    root.Connect(d->GetType(types::kSharedPublic)->GetGlobalNullItem());
    return root;
}

// A file of i_folder, as a scan leaves it.
inline void AddSharedFile(const ItemPtr& i_folder, const QString& i_name, long long i_size)
{
    ItemPtr file = d->GetType(types::kSharedFile)->NewItem();
    file.Connect(i_folder);
    file.Connect(d->GetType(types::kSharedFileName)->GetItem(Value(i_name)));
    file.Connect(d->GetType(types::kSharedFileSize)->GetItem(Value(i_size)));
}

// A folder of 60,000 files (or i_files) whose names hardly compress: its contents answer is some
// 1.9 MB (32 bytes a file). Its remote path is returned.
inline QString MakeLargeFolder(const QString& i_path = QStringLiteral("/share/leeched"), int i_files = 60000)
{
    ItemPtr folder = d->GetType(types::kSharedFileFolder)->GetItem(Value(i_path));
    folder.Connect(ShareRoot());
    quint64 seed = 0x9e3779b97f4a7c15ull;
    for (int n = 0; n < i_files; ++n)
    {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        const quint64 more = seed * 0x2545f4914f6cdd1dull;
        AddSharedFile(folder,
                      QStringLiteral("%1 %2 %3.flac")
                          .arg(seed, 16, 16, QLatin1Char('0'))
                          .arg(more, 16, 16, QLatin1Char('0'))
                          .arg((seed ^ more) >> 36, 7, 16, QLatin1Char('0')),
                      static_cast<long long>(seed >> 24));
    }
    QString remote = i_path;
    return remote.replace(QLatin1Char('/'), QLatin1Char('\\'));
}
