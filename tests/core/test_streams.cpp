#include "AttributeMap.h"
#include "FileInfo.h"
#include "FolderLists.h"
#include "MemStream.h"
#include "SharedFolderInfo.h"
#include "TCPAddress.h"
#include "UserStats.h"

#include <QtTest>

namespace
{
QByteArray Hex(const char* ip_hex)
{
    return QByteArray::fromHex(QByteArray(ip_hex));
}

// A uint32 count followed by nothing: enough to test the limit before any element is read.
MemStream CountOnly(quint32 i_count)
{
    MemStream stream;
    OutputStream out(stream);
    out.Write(i_count);
    return stream;
}
} // namespace

class TestStreams : public QObject
{
    Q_OBJECT

private slots:
    void integersAreLittleEndian()
    {
        MemStream stream;
        OutputStream out(stream);
        out.Write(quint8(0xAB));
        out.Write(quint16(0x0102));
        out.Write(qint32(-2));
        out.Write(quint32(0x01020304));
        out.Write(qint64(1000));
        out.Write(std::string("ab"));
        out.Write(QStringLiteral("\u00e9"));
        QCOMPARE(stream.ToByteArray(), Hex("ab"
                                           "0201"
                                           "feffffff"
                                           "04030201"
                                           "e803000000000000"
                                           "02000000"
                                           "6162"
                                           "02000000"
                                           "c3a9"));

        InputStream in(stream);
        quint8 b = 0;
        quint16 s = 0;
        qint32 i = 0;
        quint32 u = 0;
        qint64 l = 0;
        std::string str;
        QString text;
        QVERIFY(in.Read(b) && in.Read(s) && in.Read(i) && in.Read(u) && in.Read(l) && in.Read(str) && in.Read(text));
        QVERIFY(b == 0xAB && s == 0x0102 && i == -2 && u == 0x01020304 && l == 1000 && str == "ab"
                && text == QStringLiteral("\u00e9"));
        QCOMPARE(stream.BytesLeft(), size_t(0));
    }

    void failedReadConsumesNothing()
    {
        // A string that announces 5 bytes but carries 3, then nothing else.
        MemStream stream(Hex("05000000"
                             "616263"));
        InputStream in(stream);
        std::string text;
        QVERIFY(!in.Read(text));
        QCOMPARE(stream.GetReadPos(), size_t(0));
        qint64 wide = 0;
        QVERIFY(!in.Read(wide));
        QCOMPARE(stream.GetReadPos(), size_t(0));
        char raw[8];
        QVERIFY(!stream.ReadBuffer(raw, 8));
        QCOMPARE(stream.GetReadPos(), size_t(0));
        // The next read still sees the same bytes.
        quint32 length = 0;
        QVERIFY(in.Read(length));
        QCOMPARE(length, quint32(5));
        QVERIFY(stream.ReadBuffer(raw, 3));
        QCOMPARE(QByteArray(raw, 3), QByteArray("abc"));

        // A list whose third element is short rewinds to the count.
        MemStream list(Hex("03000000"
                           "01000000"
                           "02000000"
                           "0300"));
        InputStream listIn(list);
        std::vector<quint32> values;
        QVERIFY(!listIn.Read(values));
        QCOMPARE(list.GetReadPos(), size_t(0));
    }

    void copiesShareBufferAndPosition()
    {
        MemStream a;
        MemStream b = a;
        // Byte by byte past the first capacity: the copy follows every reallocation.
        QByteArray expected;
        for (int i = 0; i < 5000; ++i)
            expected.append(static_cast<char>(i));
        for (char c : expected)
            a.WriteBuffer(&c, 1);
        QCOMPARE(b.ToByteArray(), expected);
        quint32 value = 0;
        QVERIFY(InputStream(b).Read(value));
        QCOMPARE(a.GetReadPos(), size_t(4));
    }

    void lengthAndCountLimits_data()
    {
        QTest::addColumn<quint32>("count");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("131072") << quint32(131072) << true;
        QTest::newRow("131073") << quint32(131073) << false;
        QTest::newRow("negative or huge") << quint32(0xFFFFFFFF) << false;
    }

    void lengthAndCountLimits()
    {
        QFETCH(quint32, count);
        QFETCH(bool, accepted);

        // The same number as a string length and as every count: a list, a map, a folder of records, a pair list.
        MemStream string = CountOnly(count);
        const std::string text(std::min<quint32>(count, 131073), 'x');
        string.WriteBuffer(text.data(), text.size());
        std::string read;
        QCOMPARE(InputStream(string).Read(read), accepted);
        QCOMPARE(read.size(), size_t(accepted ? count : 0));
        QCOMPARE(string.GetReadPos(), size_t(accepted ? 4 + count : 0));

        // An attribute map's pair count follows its (empty) extension.
        auto filled = [&](size_t i_elementSize, bool i_afterExtension = false) {
            MemStream stream = CountOnly(i_afterExtension ? 0 : count);
            if (i_afterExtension)
                OutputStream(stream).Write(count);
            const std::string body(accepted ? count * i_elementSize : 0, '\0');
            stream.WriteBuffer(body.data(), body.size());
            return stream;
        };
        MemStream list = filled(4);
        std::vector<quint32> values;
        QCOMPARE(InputStream(list).Read(values), accepted);

        MemStream map = filled(8);
        AttributeTranslationTable table;
        QCOMPARE(InputStream(map).Read(table), accepted);

        // Empty records (flag 0) are one byte each; the folder ends with its trailer.
        MemStream folder = filled(1);
        OutputStream(folder).Write(quint32(0));
        SharedFolderInfo info;
        QCOMPARE(InputStream(folder).Read(info), accepted);

        MemStream pairs = filled(8, true);
        AttributeMap attributes;
        QCOMPARE(InputStream(pairs).Read(attributes), accepted);
        QCOMPARE(attributes.m_attributes.size(), size_t(accepted ? count : 0));
    }

    void sharesListWorkedExample()
    {
        FileInfoMap share;
        FileInfo file("a.mp3", 5000000003LL);
        file.m_attributes.m_extension = "mp3";
        file.m_attributes.Add(AttributeBitrate, 192);
        file.m_attributes.Add(AttributeVariableBitrate, 0);
        share["\\music"].insert(file);
        AttributeTranslationTable table;

        MemStream body;
        OutputStream out(body);
        out.Write(share);
        out.Write(table);
        const QByteArray expected = Hex("01000000"
                                        "06000000")
                                    + QByteArray("\\music")
                                    + Hex("01000000"
                                          "01"
                                          "05000000")
                                    + QByteArray("a.mp3")
                                    + Hex("03f2052a01000000"
                                          "03000000")
                                    + QByteArray("mp3")
                                    + Hex("02000000"
                                          "00000000c0000000"
                                          "0200000000000000"
                                          "00000000");
        QCOMPARE(body.ToByteArray(), expected);

        InputStream in(body);
        FileInfoMap readShare;
        AttributeTranslationTable readTable;
        QVERIFY(in.Read(readShare) && in.Read(readTable));
        QVERIFY(readShare == share);
        QVERIFY(readShare["\\music"].begin()->m_attributes == file.m_attributes);
    }

    void emptyRecordsAreEightZeroBytes()
    {
        const QByteArray zeros(8, '\0');
        MemStream a;
        OutputStream(a).Write(AttributeMap());
        QCOMPARE(a.ToByteArray(), zeros);
        AttributeMap map;
        map.m_extension = "old";
        QVERIFY(InputStream(a).Read(map));
        QVERIFY(map == AttributeMap());

        MemStream s;
        OutputStream(s).Write(SharedFolderInfo());
        QCOMPARE(s.ToByteArray(), zeros);
    }

    void attributeMapTruncatedKeepsPairs()
    {
        MemStream stream(Hex("00000000"
                             "03000000"
                             "0000000080000000"
                             "0200000001000000"
                             "01000000"));
        AttributeMap map;
        QVERIFY(!InputStream(stream).Read(map));
        QCOMPARE(map.m_attributes.size(), size_t(2));
        QCOMPARE(map.m_attributes[1], std::make_pair(qint32(2), qint32(1)));
        QCOMPARE(stream.GetReadPos(), size_t(0));

        // A code sent twice: the later value counts.
        map.Add(AttributeVariableBitrate, 0);
        qint32 value = -1;
        QVERIFY(map.GetValue(AttributeVariableBitrate, value));
        QCOMPARE(value, 0);
        QVERIFY(!map.GetValue(AttributeLength, value));
    }

    void namesAreCutAtNul()
    {
        MemStream stream(Hex("01"
                             "05000000"
                             "61620063"
                             "64"
                             "0100000000000000"
                             "04000000"
                             "6d700033"
                             "00000000"));
        FileInfo file;
        QVERIFY(InputStream(stream).Read(file));
        QCOMPARE(file.m_name, std::string("ab"));
        QCOMPARE(file.m_attributes.m_extension, std::string("mp"));
        QCOMPARE(stream.BytesLeft(), size_t(0));

        // A truncated record fails and rewinds.
        MemStream cut(Hex("01"
                          "05000000"
                          "6162636465"
                          "0100"));
        QVERIFY(!InputStream(cut).Read(file));
        QCOMPARE(cut.GetReadPos(), size_t(0));
    }

    // Files by name then size, high bytes after ASCII, duplicates merged; folders by bytes.
    void orderIsByteOrder()
    {
        FileInfoSet files;
        for (const FileInfo& file : {FileInfo("b", 1), FileInfo("ab", 5), FileInfo("a", 9), FileInfo("ab", 2),
                                     FileInfo("ab", 5), FileInfo("\xc3\xa9", 1)})
            files.insert(file);
        std::vector<std::pair<std::string, qint64>> order;
        for (const FileInfo& f : files)
            order.emplace_back(f.m_name, f.m_size);
        const std::vector<std::pair<std::string, qint64>> expected{
            {"a", 9}, {"ab", 2}, {"ab", 5}, {"b", 1}, {"\xc3\xa9", 1}};
        QCOMPARE(order, expected);

        FileInfoMap share;
        share["\\a"];
        share["\\B"];
        MemStream stream;
        OutputStream(stream).Write(share);
        const QByteArray bytes = stream.ToByteArray();
        QVERIFY(bytes.indexOf("\\B") < bytes.indexOf("\\a"));
    }

    void sharedFolderInfoNeedsTrailer()
    {
        SharedFolderInfo info;
        info.m_files.insert(FileInfo("x", 3));
        info.m_files.insert(FileInfo("x", 1));
        MemStream stream;
        OutputStream(stream).Write(info);
        QByteArray bytes = stream.ToByteArray();
        QCOMPARE(bytes.left(4), Hex("02000000"));
        QCOMPARE(bytes.right(4), Hex("00000000"));

        SharedFolderInfo read;
        MemStream whole(bytes);
        QVERIFY(InputStream(whole).Read(read));
        QCOMPARE(read.m_files.size(), size_t(2));
        QCOMPARE(read.m_files.begin()->m_size, qint64(1));

        MemStream cut(bytes.left(bytes.size() - 1));
        QVERIFY(!InputStream(cut).Read(read));
        QCOMPARE(cut.GetReadPos(), size_t(0));
    }

    void sharedFolderInfoSkipsEmptyRecords()
    {
        MemStream stream(Hex("03000000"
                             "00"
                             "01"
                             "01000000"
                             "61"
                             "0200000000000000"
                             "0000000000000000"
                             "00"
                             "00000000"));
        SharedFolderInfo info;
        QVERIFY(InputStream(stream).Read(info));
        QCOMPARE(info.m_files.size(), size_t(1));
        QCOMPARE(info.m_files.begin()->m_name, std::string("a"));

        // Same in a shares list.
        MemStream list(Hex("01000000"
                           "01000000"
                           "5c"
                           "02000000"
                           "00"
                           "00"));
        FileInfoMap share;
        QVERIFY(InputStream(list).Read(share));
        QCOMPARE(share["\\"].size(), size_t(0));
    }

    // The count limit holds per list; lists of lists are held to a total, and an oversized shares
    // list is refused before a record is built.
    void listsOfListsHaveATotalBudget()
    {
        const quint32 perFolder = kMaxStreamCount;
        const quint32 folders = quint32(kMaxStreamFiles / perFolder + 1);
        MemStream hostile = FolderListBody(folders, perFolder, ListRecords::Bare);
        FileInfoMap share;
        AttributeTranslationTable table;
        QCOMPARE(int(ReadSharesList(hostile, share, table)), int(SharesListRead::TooManyFiles));
        QVERIFY(share.empty());
        QCOMPARE(hostile.GetReadPos(), size_t(0));

        // Alike records merge, but each counts as read.
        MemStream contents = FolderListBody(folders, perFolder, ListRecords::BareAlike, true);
        std::map<std::string, SharedFolderInfo> entries;
        QVERIFY(!InputStream(contents).Read(entries));

        MemStream real = FolderListBody(10000, 100, ListRecords::Named);
        QCOMPARE(int(ReadSharesList(real, share, table)), int(SharesListRead::Read));
        size_t files = 0;
        for (const auto& folder : share)
            files += folder.second.size();
        QCOMPARE(files, size_t(1000000));
        QCOMPARE(share.begin()->second.begin()->m_attributes.m_extension, std::string("mp3"));

        MemStream broken(real.GetBuffer(), real.GetLength() - 5);
        QCOMPARE(int(ReadSharesList(broken, share, table)), int(SharesListRead::Unreadable));
    }

    void userStatsAndAddress()
    {
        UserStats stats;
        stats.m_averageSpeed = 5000;
        stats.m_uploadCount = 0x100000000LL;
        stats.m_fileCount = 3;
        stats.m_folderCount = 4;
        TCPAddress address(0x01020304, 2235);
        MemStream stream;
        OutputStream out(stream);
        out.Write(stats);
        out.Write(address);
        QCOMPARE(stream.ToByteArray(), Hex("88130000"
                                           "0000000001000000"
                                           "03000000"
                                           "04000000"
                                           "04030201"
                                           "bb080000"));
        QCOMPARE(address.ToString(), QStringLiteral("1.2.3.4:2235"));

        UserStats readStats;
        TCPAddress readAddress;
        InputStream in(stream);
        QVERIFY(in.Read(readStats) && in.Read(readAddress));
        QVERIFY(readStats == stats);
        QVERIFY(readAddress == address);

        // A short record leaves the old value and the position.
        MemStream cut(Hex("01000000"
                          "02000000"));
        QVERIFY(!InputStream(cut).Read(readStats));
        QVERIFY(readStats == stats);
        QCOMPARE(cut.GetReadPos(), size_t(0));
        // A port beyond 16 bits is refused.
        MemStream badPort(Hex("04030201"
                              "00000100"));
        QVERIFY(!InputStream(badPort).Read(readAddress));
    }
};

QTEST_GUILESS_MAIN(TestStreams)
#include "test_streams.moc"
