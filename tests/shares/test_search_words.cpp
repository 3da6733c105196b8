#include "SearchWords.h"

#include <QtTest>

namespace
{
QStringList Words(const QString& i_text)
{
    std::vector<std::string> words;
    SplitSearchWords(i_text.toLower(), words);
    QStringList out;
    for (const std::string& w : words)
        out << QString::fromStdString(w);
    return out;
}
} // namespace

class TestSearchWords : public QObject
{
    Q_OBJECT

private slots:
    void separators_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("separator");
        const QList<QPair<int, bool>> table = {
            {'0', false}, {'9', false}, {'a', false}, {'z', false}, {'A', false}, {'Z', false},
            {0, true}, {' ', true}, {'_', true}, {'-', true}, {'.', true}, {'/', true}, {'\\', true},
            {'@', true}, {'[', true}, {'`', true}, {'{', true}, {0x7F, true},
            {0x80, false}, {0xA0, false}, {0xE9, false}, {0xFF, false},
            {0x100, true}, {0x430, true}, {0x3042, true}, {0xD83D, true}, {0xDE00, true}, {0xFFFD, true},
        };
        for (const auto& row : table)
            QTest::newRow(qPrintable(QString("U+%1").arg(row.first, 4, 16, QChar('0')))) << row.first << row.second;
    }

    void separators()
    {
        QFETCH(int, code);
        QTEST(IsSearchWordSeparator(QChar(ushort(code))), "separator");
    }

    void split_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("words");
        QTest::newRow("folder and name") << QString("/srv/Media/Rock\\AC-DC Back_in_Black.MP3")
                                         << QStringList{"srv", "media", "rock", "ac", "dc", "back", "in", "black", "mp3",
                                                        "ac-dc", "back_in_black.mp3"};
        QTest::newRow("latin-1 letters stay in words")
            << QString::fromUtf8("/m\\Café Müller.mp3") << QStringList{"m", QString::fromUtf8("café"), QString::fromUtf8("müller"), "mp3", QString::fromUtf8("müller.mp3")};
        QTest::newRow("cyrillic only from blanks")
            << QString::fromUtf8("/x\\Песня Один.mp3") << QStringList{"x", "mp3", QString::fromUtf8("песня"), QString::fromUtf8("один.mp3")};
        QTest::newRow("emoji splits the first pass")
            << QString::fromUtf8("/x\\ab😀cd.ogg") << QStringList{"x", "ab", "cd", "ogg", QString::fromUtf8("ab😀cd.ogg")};
        QTest::newRow("only separators") << QString("/ \\ -_.") << QStringList{"-_."};
        QTest::newRow("empty") << QString() << QStringList{};
        QTest::newRow("repeats collapse") << QString("/a/a\\a a.a") << QStringList{"a", "a.a"};
    }

    void split()
    {
        QFETCH(QString, text);
        QTEST(Words(text), "words");
    }
};

QTEST_GUILESS_MAIN(TestSearchWords)
#include "test_search_words.moc"
