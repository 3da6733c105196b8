// With libFuzzer: the environment before the first input, and, when VELTRANE_FUZZ_SEEDS names a
// folder, the seeds written there instead of a run (make fuzz starts each run from them).

#include "FuzzTarget.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzEnvironment();
    const QByteArray folder = qgetenv("VELTRANE_FUZZ_SEEDS");
    if (folder.isEmpty())
        return 0;
    QDir().mkpath(QFile::decodeName(folder));
    std::vector<QByteArray> seeds;
    FuzzSeeds(seeds);
    for (const QByteArray& seed : seeds)
    {
        QFile file(QFile::decodeName(folder) + QLatin1Char('/')
                   + QString::fromLatin1(QCryptographicHash::hash(seed, QCryptographicHash::Sha1).toHex()));
        if (!file.open(QIODevice::WriteOnly) || file.write(seed) != seed.size())
            std::exit(1);
    }
    std::_Exit(0); // no leak check: the environment lives as long as the process
}
