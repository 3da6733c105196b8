#include "DownloadPaths.h"

#include <QtTest>

#include <climits>

// Names from other users against the rules that place a download: whatever they are, the kept
// folder and the file name stay below the download folder.
class TestDownloadPaths : public QObject
{
    Q_OBJECT

private slots:
    void remote_names_stay_inside_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("local"); // kept components and file, as a local path

        QTest::newRow("last component") << "music\\albums\\one" << 0 << "a.mp3"
                                        << "one/a.mp3";
        QTest::newRow("two levels") << "music\\albums\\one" << 2 << "a.mp3"
                                    << "music/albums/one/a.mp3";
        QTest::newRow("deepest level") << "a\\b" << INT_MAX << "f"
                                       << "a/b/f";
        QTest::newRow("negative level") << "a\\b" << -5 << "f"
                                        << "b/f";
        QTest::newRow("forward slashes") << "a/b/c" << 1 << "f"
                                         << "b/c/f";
        QTest::newRow("no folder") << "" << 3 << "f"
                                   << "f";
        QTest::newRow("only separators") << "\\\\//" << 3 << "f"
                                         << "f";
        QTest::newRow("climbing") << "..\\..\\etc" << 9 << ".."
                                  << "_/_/etc/_";
        QTest::newRow("dot") << "." << 0 << "."
                             << "_/_";
        QTest::newRow("empty file") << "a" << 0 << ""
                                    << "a/_";
        QTest::newRow("separator in file") << "a" << 0 << "x/../../y"
                                           << "a/_";
        QTest::newRow("backslash in file") << "a" << 0 << "..\\y"
                                           << "a/_";
        QTest::newRow("NUL") << QStringLiteral("a") + QChar(0) + QStringLiteral("b") << 0
                             << QStringLiteral("f") + QChar(0) << "_/_";
        QTest::newRow("odd but ordinary") << "...\\ x \\.hidden" << 2 << "..mp3"
                                          << ".../ x /.hidden/..mp3";
    }

    void remote_names_stay_inside()
    {
        QFETCH(QString, folder);
        QFETCH(int, level);
        QFETCH(QString, file);
        QFETCH(QString, local);

        QStringList parts = DownloadPaths::KeptFolderComponents(folder, level);
        // The one-pass form keeps the same components.
        QString appended = QStringLiteral("base");
        DownloadPaths::AppendKeptComponents(folder, level, appended);
        QCOMPARE(appended, (QStringList{QStringLiteral("base")} + parts).join(QLatin1Char('\\')));
        // The count told from the bytes, which spares a deep folder's path being built.
        const QByteArray bytes = folder.toUtf8();
        for (int most = 0; most < 4; ++most)
            QCOMPARE(DownloadPaths::KeepsMoreComponentsThan(std::string_view(bytes.constData(), size_t(bytes.size())),
                                                            level, most),
                     parts.size() > most);
        parts << DownloadPaths::SafePathComponent(file);
        const QString path = DownloadPaths::LocalPath(parts.join(QLatin1Char('\\')));
        QCOMPARE(path, local);
        QVERIFY(!QDir::isAbsolutePath(path));
        QVERIFY(QDir::cleanPath(QStringLiteral("/downloads/") + path).startsWith(QStringLiteral("/downloads/")));
    }

    // Deep folders, with doubled and mixed separators at every place a block of bytes may end.
    void deepFolderComponentCount()
    {
        for (const char* separator : {"\\", "/", "\\/", "//\\"})
        {
            std::string folder = "\\";
            const int components = 1500;
            for (int n = 0; n < components; ++n)
                folder += std::string(1 + n % 3, 'd') + separator;
            QVERIFY(DownloadPaths::KeepsMoreComponentsThan(folder, components, components - 1));
            QVERIFY(!DownloadPaths::KeepsMoreComponentsThan(folder, components, components));
            QVERIFY(!DownloadPaths::KeepsMoreComponentsThan(folder, 10, 11));
        }
    }
};

QTEST_GUILESS_MAIN(TestDownloadPaths)
#include "test_download_paths.moc"
