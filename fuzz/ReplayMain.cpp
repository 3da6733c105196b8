// Runs a fuzz target over its seeds and over every file of the folders named on the command
// line (the corpus kept in the project, reproducers of faults found): a test in every build.

#include "FuzzTarget.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace
{
int Run(const QByteArray& i_input)
{
    return LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(i_input.constData()), size_t(i_input.size()));
}
} // namespace

int main(int argc, char** argv)
{
    FuzzEnvironment();
    std::vector<QByteArray> seeds;
    FuzzSeeds(seeds);
    int count = 0;
    for (const QByteArray& seed : seeds)
    {
        Run(seed);
        ++count;
    }
    for (int n = 1; n < argc; ++n)
    {
        const QFileInfo place(QFile::decodeName(argv[n]));
        if (!place.exists())
            continue; // no input kept for this target yet
        const QFileInfoList files =
            place.isDir() ? QDir(place.filePath()).entryInfoList(QDir::Files, QDir::Name) : QFileInfoList{place};
        for (const QFileInfo& file : files)
        {
            QFile input(file.filePath());
            if (!input.open(QIODevice::ReadOnly))
            {
                std::fprintf(stderr, "cannot read %s\n", qPrintable(file.filePath()));
                return 1;
            }
            Run(input.readAll());
            ++count;
        }
    }
    std::printf("%d inputs replayed\n", count);
    return 0;
}
