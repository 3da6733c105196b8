#pragma once

// A generated share of 100,000 files in 5,000 folders, named from a made-up vocabulary: the same
// tree on every run, so that figures compare across runs.

#include <QDir>
#include <QFile>
#include <QStringList>

#include <random>

namespace ShareTree
{
constexpr int kTopFolders = 50;
constexpr int kSubFolders = 100; // per top folder: 5,000 folders holding files
constexpr int kFilesPerFolder = 20;

enum Option : unsigned
{
    // Top folders alternate between "even" and "odd", so that one word matches half the files.
    EvenAndOdd = 1u << 0,
    // MP3s of 4 KiB, which the audio scanner is through with at once; otherwise every file is
    // sparse with a random size, since a scan reads sizes, never contents.
    SmallMp3s = 1u << 1,
};

inline QString Name(std::mt19937& io_random, const QStringList& i_words, int i_minWords, int i_maxWords)
{
    std::uniform_int_distribution<int> count(i_minWords, i_maxWords);
    std::uniform_int_distribution<int> pick(0, i_words.size() - 1);
    QStringList parts;
    for (int n = count(io_random); n > 0; --n)
        parts << i_words[pick(io_random)];
    return parts.join(' ');
}

// The names of the files made (without their number and extension), one per file.
inline QStringList Make(const QString& i_root, unsigned i_options = 0)
{
    std::mt19937 random(42);
    QStringList words;
    const char* syllables[] = {"ka", "lo",  "mi",  "ren", "sa", "tor", "vel",
                               "an", "dru", "qui", "zen", "bo", "fa",  "ti"};
    std::uniform_int_distribution<int> syllable(0, 13);
    for (int i = 0; i < 3000; ++i)
    {
        QString w;
        for (int s = 1 + i % 3; s >= 0; --s)
            w += syllables[syllable(random)];
        words << (i % 5 == 0 ? w.left(1).toUpper() + w.mid(1) : w);
    }
    std::uniform_int_distribution<qint64> size(1000, 12000000);
    const char* extensions[] = {".mp3", ".flac", ".jpg", ".txt", ".ogg"};
    QStringList names;
    for (int t = 0; t < kTopFolders; ++t)
    {
        const char* half = !(i_options & EvenAndOdd) ? "" : t % 2 ? " odd " : " even ";
        const QString top = i_root + '/' + Name(random, words, 1, 3) + half + QString::number(t);
        for (int s = 0; s < kSubFolders; ++s)
        {
            const QString folder = top + '/' + Name(random, words, 2, 4) + " (" + QString::number(s) + ')';
            QDir().mkpath(folder);
            for (int f = 0; f < kFilesPerFolder; ++f)
            {
                const QString name = Name(random, words, 3, 8);
                QFile file(folder + '/' + QString("%1 ").arg(f + 1, 2, 10, QChar('0')) + name + extensions[f % 5]);
                const qint64 bytes = (i_options & SmallMp3s) && f % 5 == 0 ? 4096 : size(random);
                if (file.open(QIODevice::WriteOnly) && file.resize(bytes))
                    names << name;
            }
        }
    }
    return names;
}
} // namespace ShareTree
