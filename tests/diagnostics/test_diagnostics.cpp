#include "Data.h"
#include "DiagnosticsForm.h"
#include "ItemLogDialog.h"
#include "Log.h"
#include "LogStore.h"

#include <QPlainTextEdit>
#include <QPointer>
#include <QTabWidget>
#include <QtTest>

#include <algorithm>
#include <utility>

class TestDiagnostics : public QObject
{
    Q_OBJECT

private:
    LogStore m_store;

private slots:
    void init() { m_store.Begin(); }
    void cleanup() { m_store.End(); }

    void tabPerAreaOnFirstUse()
    {
        DiagnosticsForm form;
        QCOMPARE(diagnosticsForm, &form);
        form.Init();
        form.Init();
        QVERIFY(form.IsInitialized());
        QVERIFY(form.AreaNames().isEmpty());
        Log(QStringLiteral("server"), 1, QStringLiteral("Attempting connection on port 2242"));
        Log(QStringLiteral("Search"), 1, QStringLiteral("reply sent"));
        Log(QStringLiteral("server"), 2, QStringLiteral("detail"));
        Log(QStringLiteral("A&B"), 1, QStringLiteral("ampersand"));
        QCOMPARE(form.AreaNames(), QStringList({"server", "Search", "A&&B"}));
        const QStringList server = form.AreaLines(QStringLiteral("server"));
        QCOMPARE(server.size(), 2);
        QCOMPARE(LogBody(server.at(0)), QStringLiteral("Attempting connection on port 2242"));
        QCOMPARE(LogBody(server.at(1)), QStringLiteral("   detail"));

        // A tab keeps the newest lines only.
        for (int n = 0; n < kMaxLogLines + 20; ++n)
            Log(QStringLiteral("MP3 Scanning"), 1, QString::number(n));
        const QStringList lines = form.AreaLines(QStringLiteral("MP3 Scanning"));
        QCOMPARE(lines.size(), kMaxLogLines);
        QCOMPARE(LogBody(lines.first()), QStringLiteral("20"));
        QCOMPARE(LogBody(lines.last()), QString::number(kMaxLogLines + 19));
    }

    void a_burst_of_lines_is_appended_once_per_turn_data()
    {
        QTest::addColumn<int>("lines");
        QTest::newRow("a few hundred") << 300;
        QTest::newRow("more than a page keeps") << kMaxLogLines + 20;
    }
    void a_burst_of_lines_is_appended_once_per_turn()
    {
        QFETCH(int, lines);
        DiagnosticsForm form;
        form.show();
        const QString queue = QStringLiteral("Transfer Queue");
        const QString peers = QStringLiteral("Peer");
        Log(queue, 1, QStringLiteral("first"));
        Log(peers, 1, QStringLiteral("first"));
        QCoreApplication::processEvents();
        QList<QSignalSpy*> spies;
        for (QPlainTextEdit* view : form.findChildren<QPlainTextEdit*>())
            spies << new QSignalSpy(view->document(), &QTextDocument::contentsChange);
        const auto freeSpies = qScopeGuard([&spies] { qDeleteAll(spies); });
        QCOMPARE(spies.size(), 2);

        // One turn's burst, the two pages' lines interleaved.
        for (int n = 0; n < lines; ++n)
            Log(n % 3 == 0 ? peers : queue, 1, QString::number(n));
        QCoreApplication::processEvents();
        for (QSignalSpy* spy : spies)
            QVERIFY2(spy->count() <= 2, qPrintable(QString::number(spy->count())));

        QStringList expectedQueue{QStringLiteral("first")};
        QStringList expectedPeers{QStringLiteral("first")};
        for (int n = 0; n < lines; ++n)
            (n % 3 == 0 ? expectedPeers : expectedQueue) << QString::number(n);
        for (auto [area, expected] : {std::pair(queue, expectedQueue), std::pair(peers, expectedPeers)})
        {
            QStringList shown;
            for (const QString& line : form.AreaLines(area))
                shown << LogBody(line);
            QCOMPARE(shown, expected.mid(std::max(0, int(expected.size()) - kMaxLogLines)));
        }
    }

    void linesBeforeTheFormAreShown()
    {
        // Between forms, lines wait.
        Log(QStringLiteral("Configuration Data"), 1, QStringLiteral("loaded"));
        {
            DiagnosticsForm form;
            QCOMPARE(form.AreaNames(), QStringList({"Configuration Data"}));
            QCOMPARE(LogBody(form.AreaLines(QStringLiteral("Configuration Data")).at(0)), QStringLiteral("loaded"));
        }
        QVERIFY(!diagnosticsForm);
        Log(QStringLiteral("Wish List"), 1, QStringLiteral("after the form"));
        DiagnosticsForm next;
        QCOMPARE(next.AreaNames(), QStringList({"Wish List"}));
    }

    void itemLogDialogIsLive()
    {
        DiagnosticsForm form;
        form.Init();
        DiagnosticsForm::RegisterLoggableItemType("user");
        SetSetting(QStringLiteral("user_level_logging"), QStringLiteral("yes"));
        ItemPtr bob = d->GetType("user")->GetItem(Value("bob"));
        ItemPtr eve = d->GetType("user")->GetItem(Value("eve"));
        Log(QStringLiteral("Transfer Queue"), 1, QStringLiteral("before"), bob);

        QPointer<ItemLogDialog> dialog = new ItemLogDialog(bob);
        dialog->show();
        QCOMPARE(dialog->findChild<QTabWidget*>()->tabText(0), QStringLiteral("All"));
        QCOMPARE(dialog->windowTitle(), QStringLiteral("bob"));
        QCOMPARE(dialog->Lines().size(), 1);
        QCOMPARE(LogBody(dialog->Lines().at(0)), QStringLiteral("before"));

        Log(QStringLiteral("Transfer Queue"), 2, QStringLiteral("while open"), bob);
        Log(QStringLiteral("Transfer Queue"), 1, QStringLiteral("someone else"), eve);
        QCOMPARE(dialog->Lines().size(), 2);
        QCOMPARE(LogBody(dialog->Lines().at(1)), QStringLiteral("   while open"));

        dialog->close();
        QTRY_VERIFY(dialog.isNull());
        // Logging after the dialog is gone is harmless.
        Log(QStringLiteral("Transfer Queue"), 1, QStringLiteral("after"), bob);
        QCOMPARE(GetItemLogLines(bob).size(), 3);
    }
};

QTEST_MAIN(TestDiagnostics)
#include "test_diagnostics.moc"
