#include "FocusHelpers.h"
#include "HarnessProcess.h"
#include "PeakMemory.h"
#include "PeerMessenger.h"
#include "RawPeer.h"
#include "Screenshot.h"
#include "ShownTextChecks.h"
#include "TextUtils.h"
#include "UserInfoForm.h"
#include "UserInfoReply.h"
#include "UserInfoText.h"
#include "UsersKit.h"
#include "WindowFixture.h"

#include <QBuffer>
#include <QLineEdit>
#include <QPainter>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTextDocument>
#include <QtEndian>
#include <QtTest>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The user information reply as it goes out (exact bytes, read by another client process) and
// the page that asks for it and shows it, in a real run logged in as "tester" beside "bob".
class TestUserInfo : public QObject
{
    Q_OBJECT

    std::unique_ptr<WindowRun> m_run;
    std::unique_ptr<HarnessProcess> m_bob;
    QTemporaryDir m_files;

    bool Start(bool i_withBob = true)
    {
        m_run = std::make_unique<WindowRun>();
        if (!m_run->Start({{"upload_slots", "2"}}))
            return false;
        m_bob = std::make_unique<HarnessProcess>();
        return !i_withBob
               || (m_bob->Start() && m_bob->LogIn("bob", m_run->server.Port(), FreePortPair())
                   && m_run->server.WaitForFrames(2, 1, "bob"));
    }

    // Hex written in fields: "10000000 00".
    static QByteArray Hex(const char* ip_fields) { return QByteArray(ip_fields).replace(' ', ""); }

    // A file of the bytes, made sparse up to i_size when given (no disk is filled).
    QString File(const char* ip_name, const QByteArray& i_bytes, qint64 i_size = -1)
    {
        QFile file(m_files.filePath(QString::fromLatin1(ip_name)));
        file.open(QIODevice::WriteOnly);
        file.write(i_bytes);
        file.resize(std::max<qint64>(i_size, i_bytes.size()));
        return file.fileName();
    }

    static QByteArray Png(int i_width, int i_height)
    {
        QImage image(i_width, i_height, QImage::Format_RGB32);
        QPainter painter(&image);
        QLinearGradient sky(0, 0, 0, i_height);
        sky.setColorAt(0, QColor("#3a6ea5"));
        sky.setColorAt(1, QColor("#f0c987"));
        painter.fillRect(image.rect(), sky);
        painter.end();
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        return bytes;
    }

    static QTextBrowser* Text(UserInfoForm* ip_page) { return ip_page->findChild<QTextBrowser*>("userInfoText"); }

    // The size of the picture the text shows; invalid for none.
    static QSize Picture(UserInfoForm* ip_page)
    {
        const QVariant picture = Text(ip_page)->document()->resource(QTextDocument::ImageResource, QUrl("UserImage"));
        return Text(ip_page)->toHtml().contains("UserImage") ? picture.value<QImage>().size() : QSize();
    }

    static void Reply(UserInfoForm* ip_page, const QString& i_description, QByteArray i_picture = QByteArray())
    {
        ip_page->OnUserInfoReceived(ip_page->User(), i_description, !i_picture.isEmpty(),
                                    i_picture.isEmpty() ? nullptr : i_picture.data(), i_picture.size(), 3, 4, true);
    }

    static QByteArray Le(quint32 i_value)
    {
        QByteArray bytes(4, '\0');
        qToLittleEndian(i_value, bytes.data());
        return bytes;
    }

    // A user information reply as another client writes it.
    static QByteArray ReplyBody(const QString& i_description, const QByteArray& i_picture)
    {
        const QByteArray text = i_description.toUtf8();
        QByteArray body = Le(16) + Le(text.size()) + text + char(i_picture.isEmpty() ? 0 : 1);
        if (!i_picture.isEmpty())
            body += Le(i_picture.size()) + i_picture;
        return body + Le(1) + Le(0) + char(1);
    }

    // An icon whose directory says 16 x 16 and whose entry is a PNG of another size.
    static QByteArray IconHolding(const QByteArray& i_png)
    {
        return QByteArray::fromHex(Hex("0000 0100 0100 10 10 00 00 0100 2000")) + Le(i_png.size()) + Le(22) + i_png;
    }

    // Notes whether anything opens a FIFO for reading while it runs: such an open would block
    // until a writer comes, and the watcher's non-blocking write open succeeds only then.
    struct FifoWatch
    {
        explicit FifoWatch(const QString& i_path)
            : m_path(QFile::encodeName(i_path))
        {
            mkfifo(m_path.constData(), 0600);
            m_thread = std::thread([this] {
                while (!m_stop)
                {
                    const int fd = ::open(m_path.constData(), O_WRONLY | O_NONBLOCK);
                    if (fd >= 0)
                    {
                        m_opened = true;
                        ::close(fd);
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
            });
        }
        ~FifoWatch()
        {
            m_stop = true;
            m_thread.join();
        }
        QByteArray m_path;
        std::atomic<bool> m_stop{false};
        std::atomic<bool> m_opened{false};
        std::thread m_thread;
    };

private slots:
    void cleanup()
    {
        m_bob.reset();
        m_run.reset();
    }

    void ownReplyBytes_data()
    {
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("picture");
        QTest::addColumn<QByteArray>("hex");
        // Code, description, has picture [, length, picture], two slots, none queued, free.
        const QByteArray bare = Hex("10000000 00000000 00 02000000 00000000 01");
        QTest::newRow("empty: 18 bytes") << ""
                                         << "" << bare;
        QTest::newRow("missing file") << ""
                                      << "missing" << bare;
        QTest::newRow("larger than a frame") << ""
                                             << "huge" << bare;
        QTest::newRow("picture") << "hi"
                                 << "small" << Hex("10000000 02000000 6869 01 03000000 504943 02000000 00000000 01");
    }

    void ownReplyBytes()
    {
        QFETCH(QString, description);
        QFETCH(QString, picture);
        QFETCH(QByteArray, hex);
        QVERIFY(Start(false));
        SetSetting("user_description", description);
        const QMap<QString, QString> files = {{"small", File("small", "PIC")},
                                              {"missing", m_files.filePath("nothing here")},
                                              {"huge", File("huge", "PIC", 64 * 1024 * 1024)}};
        SetSetting("user_picture_file", files.value(picture));
        QCOMPARE(UserInfoReply::BuildOwn().ToByteArray().toHex(), hex);
    }

    // Every request is answered, an ignored user's too, and the other client reads it whole.
    void anotherClientReadsTheReply()
    {
        QVERIFY(Start());
        SetSetting("user_description", "hello\nworld");
        SetSetting("user_picture_file", File("small", "PIC"));
        Flag("bob", "is_ignored");
        m_bob->Send({"userinfo", "tester"});
        QStringList fields;
        QVERIFY(m_bob->Take("event UserInfoReceived", &fields));
        QCOMPARE(fields, QStringList({"tester", "hello\nworld", "1", "504943-", "2", "0", "1"}));
    }

    void pageShowsTheReply_data()
    {
        QTest::addColumn<QString>("description");
        QTest::addColumn<QByteArray>("picture");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QSize>("shown");
        const QString image(QChar::ObjectReplacementCharacter);
        QTest::newRow("nothing") << "" << QByteArray() << "No user info." << QSize();
        QTest::newRow("two lines") << "one\ntwo" << QByteArray() << "one\ntwo" << QSize();
        QTest::newRow("rich text") << "<b>bold</b> & <i>more</i>" << QByteArray() << "bold & more" << QSize();
        QTest::newRow("wide picture") << "" << Png(1000, 300) << image + "\n" << QSize(800, 240);
        QTest::newRow("picture that fits") << "me" << Png(800, 400) << image + "\nme" << QSize(800, 400);
        QTest::newRow("undecodable picture") << "me" << QByteArray("not an image") << "me" << QSize();
        // A PNG header declaring 40000 x 40000 pixels, with no pixels behind it.
        QTest::newRow("picture too large")
            << "me" << Png(1, 1).left(16) + QByteArray::fromHex(Hex("00009c40 00009c40")) << "me" << QSize();
        // An icon's directory does not bound the picture it holds.
        QTest::newRow("icon") << "me" << IconHolding(Png(32, 32)) << "me" << QSize();
    }

    void pageShowsTheReply()
    {
        QFETCH(QString, description);
        QFETCH(QByteArray, picture);
        QFETCH(QString, text);
        QFETCH(QSize, shown);
        QVERIFY(Start(false));
        UserInfoForm* page = userListForm->GetUserInfoForm("bob");
        QCOMPARE(Text(page)->toPlainText(), QStringLiteral("Requesting..."));
        Reply(page, "before", Png(100, 50));
        QCOMPARE(Picture(page), QSize(100, 50));
        Reply(page, description, picture);
        QCOMPARE(Text(page)->toPlainText(), text);
        QCOMPARE(Picture(page), shown);
        QCOMPARE(page->findChild<QLineEdit*>("freeToUploadEdit")->text(), QStringLiteral("Yes"));
        // The page is out of view: each reply is announced, until the page is looked at.
        QCOMPARE(EventTexts().count("bob"), 2);
        FocusWidgetAndParents(page);
        QCOMPARE(EventTexts().count("bob"), 0);
    }

    // A GIF's canvas is its logical screen, which the header gives apart from the frame: a few
    // bytes asking for 8000 x 8000 pixels are refused before anything is allocated.
    void gifScreenIsBounded()
    {
        const QByteArray gif =
            QByteArray("GIF89a")
            + QByteArray::fromHex(Hex("401f 401f 80 00 00 000000 ffffff 2c 0000 0000 0100 0100 00 02 02 4401 00 3b"));
        QVERIFY(ResetPeak());
        const double before = PeakMegabytes();
        QVERIFY(UserInfoReply::DecodePicture(gif.constData(), gif.size()).isNull());
        QVERIFY2(PeakMegabytes() - before < 64, qPrintable(QString::number(PeakMegabytes() - before)));
    }

    // A picture's format is told by its first bytes, and only PNG, JPEG, GIF and BMP are read: an
    // XBM header of 76 bytes declaring 32767 x 32767 pixels allocates nothing of them.
    void pictures_are_told_by_their_first_bytes_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QSize>("shown");
        for (const char* format : {"PNG", "JPEG", "BMP"})
        {
            QByteArray bytes;
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            QImage(30, 20, QImage::Format_RGB32).save(&buffer, format);
            QTest::newRow(format) << bytes << QSize(30, 20);
        }
        QTest::newRow("GIF") << QByteArray("GIF89a")
                                    + QByteArray::fromHex(Hex(
                                        "0100 0100 80 00 00 000000 ffffff 2c 0000 0000 0100 0100 00 02 02 4401 00 3b"))
                             << QSize(1, 1);
        QTest::newRow("XBM") << QByteArray(
            "#define a_width 32767\n#define a_height 32767\nstatic char a_bits[] = {0x00};\n")
                             << QSize();
        QTest::newRow("PBM") << QByteArray("P4\n32767 32767\n") + QByteArray(16, '\0') << QSize();
    }

    void pictures_are_told_by_their_first_bytes()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QSize, shown);
        QVERIFY(ResetPeak());
        const double before = PeakMegabytes();
        const QImage picture = UserInfoReply::DecodePicture(bytes.constData(), bytes.size());
        QCOMPARE(picture.isNull() ? QSize() : picture.size(), shown);
        QVERIFY2(PeakMegabytes() - before < 64, qPrintable(QString::number(PeakMegabytes() - before)));
    }

    // What the page holds of any description: no run it cannot break longer than a few dozen
    // characters, no more than eight marks on a letter, no break inside a character; the text of
    // a well-behaved one as written.
    void description_text_is_bounded_data()
    {
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("text"); // without the break points; empty: only bounded
        QTest::newRow("ordinary") << "<b>bold</b> &amp; <i>more</i> caf&eacute; &#233;<br>x > y & z"
                                  << QString::fromUtf8("bold & more caf\xc3\xa9 \xc3\xa9\xe2\x80\xa8x > y & z");
        QTest::newRow("less-than run") << QString(3000, '<') << QString(3000, '<');
        QTest::newRow("ampersand run") << QString(3000, '&') << QString(3000, '&');
        QTest::newRow("greater-than run") << QString(3000, '>') << QString(3000, '>');
        QTest::newRow("entity run") << QString("&amp;").repeated(1000) << QString(1000, '&');
        // The view shows an entity it does not know as written.
        QTest::newRow("unknown entities")
            << QString("&abcdefghijklmno;").repeated(200) << QString("&abcdefghijklmno;").repeated(200);
        QTest::newRow("marks") << "a" + QString(3000, QChar(0x0301)) << "a" + QString(8, QChar(0x0301));
        QTest::newRow("marks as entities") << "a" + QString("&#769;").repeated(500) << "a" + QString(8, QChar(0x0301));
        QTest::newRow("marks across tags") << "a" + QString("<b>&#x301;</b>").repeated(100) << "";
        QTest::newRow("emoji") << "a" + QString::fromUcs4(U"\U0001F600").repeated(64)
                               << "a" + QString::fromUcs4(U"\U0001F600").repeated(64);
        QTest::newRow("no-break spaces") << QString("a&nbsp;").repeated(1000) << "";
        // U+FFFC would show as nothing.
        QTest::newRow("object replacement") << QString(QChar(0xFFFC)) + "&#xFFFC;" << QString(2, QChar(0xFFFD));
    }

    void description_text_is_bounded()
    {
        QFETCH(QString, description);
        QFETCH(QString, text);
        QTextDocument document;
        document.setHtml(UserInfoText::SafeDescription(description));
        const QString shown = document.toRawText();
        // 64 units and the break point before them.
        QVERIFY2(LongestUnbrokenRun(shown) <= 65, qPrintable(QString::number(LongestUnbrokenRun(shown))));
        QVERIFY(MostMarksInARow(shown) <= 8);
        QVERIFY(BreaksBetweenCharacters(shown));
        if (!text.isEmpty())
            QCOMPARE(QString(shown).remove(QChar(0x200B)).remove(QChar::ParagraphSeparator), text);
    }

    // Every tag kept is a piece of text the view lays out apart: the first 500 are kept, and the
    // text after them still shows.
    void description_keeps_its_first_tags_only()
    {
        const QString html = UserInfoText::SafeDescription(QStringLiteral("<b>a</b><p>b</p>").repeated(2000));
        QCOMPARE(html.count("<b>") + html.count("<p>"), 500);
        QTextDocument document;
        document.setHtml(html);
        QCOMPARE(document.toPlainText().count('a'), 2000);
    }

    // Past the cut only the tags still open are closed: a paragraph or a link the text does not
    // reach would still be laid out.
    void description_ends_where_it_is_cut()
    {
        const QString html =
            UserInfoText::SafeDescription("<i>" + QString(70000, 'a') + QString("<p>b</p><b>c</b>").repeated(100));
        QCOMPARE(html.count("<p>") + html.count("<b>"), 0);
        QVERIFY(html.endsWith(QChar(0x2026) + QString("</i>")));
        QTextDocument document;
        document.setHtml(html);
        QCOMPARE(document.toPlainText().remove(QChar(0x200B)).remove(QLatin1Char('\n')),
                 QString(65536, 'a') + QChar(0x2026));
    }

    void descriptionLoadsNothing()
    {
        QVERIFY(Start(false));
        const QUrl local = QUrl::fromLocalFile(File("local.png", Png(20, 20)));
        UserInfoForm* page = userListForm->GetUserInfoForm("bob");
        Reply(page, QStringLiteral("<img src=\"%1\"><a href=\"http://example.com/\">link</a>").arg(local.toString()));
        QVERIFY(!Text(page)->toHtml().contains(local.toString()));
        QVERIFY(Text(page)->toHtml().contains("http://example.com/"));
        // Any other name is a blank pixel, never the file's picture.
        QCOMPARE(Text(page)->document()->resource(QTextDocument::ImageResource, local).value<QImage>().size(),
                 QSize(1, 1));
        QVERIFY(!Text(page)->openLinks());
    }

    // Another client's description and picture, sent whole, name local files in every way the
    // text layout or a picture decoder reads them, or nest tables that take the layout minutes:
    // nothing is opened, no picture shows, and the text shows at once.
    void hostileRepliesThroughThePeer_data()
    {
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("svg");
        QTest::newRow("absolute image") << "<img src=\"FIFO\">end"
                                        << "";
        QTest::newRow("relative image") << "<img src=\"fifo\">end"
                                        << "";
        QTest::newRow("file url image") << "<img src=\"file://FIFO\">end"
                                        << "";
        QTest::newRow("style background") << "<p style=\"background-image: url(FIFO)\">end</p>"
                                          << "";
        QTest::newRow("table background") << "<table background=\"FIFO\"><tr><td>end</td></tr></table>"
                                          << "";
        QTest::newRow("svg picture") << "end"
                                     << "<svg xmlns=\"http://www.w3.org/2000/svg\" "
                                        "xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\"20\" height=\"20\">"
                                        "<image xlink:href=\"FIFO\" width=\"20\" height=\"20\"/></svg>";
        QTest::newRow("nested tables") << QString("<table><tr><td>").repeated(40) + "end"
                                       << "";
    }

    void hostileRepliesThroughThePeer()
    {
        QFETCH(QString, description);
        QFETCH(QString, svg);
        QVERIFY(Start());
        const QString fifo = m_files.filePath("fifo");
        FifoWatch watch(fifo);
        const QString previous = QDir::currentPath();
        QDir::setCurrent(m_files.path());
        UserInfoForm* page = userListForm->GetUserInfoForm("bob");
        QVERIFY(m_bob->Take("event UserInfoRequested"));
        description.replace("FIFO", fifo);
        const QByteArray body = ReplyBody(description, QString(svg).replace("FIFO", fifo).toUtf8());
        m_bob->Send({"send", "tester", QString::fromLatin1(body.toHex())});
        QTRY_VERIFY(Text(page)->toPlainText().contains("end"));
        FocusWidgetAndParents(page);
        page->grab();
        QDir::setCurrent(previous);
        QVERIFY(!watch.m_opened);
        QVERIFY(!Text(page)->toHtml().contains("<img"));
        QVERIFY(!Text(page)->toHtml().contains("<table"));
    }

    void failureWhileWaiting()
    {
        QVERIFY(Start(false));
        UserInfoForm* page = userListForm->GetUserInfoForm("bob");
        for (const auto& [user, type] : {std::make_pair("bob", "F"), {"bob", "D"}, {"other", "P"}})
            page->OnConnectionToUserFailed(user, type);
        QCOMPARE(Text(page)->toPlainText(), QStringLiteral("Requesting..."));
        page->OnConnectionToUserFailed("bob", "P");
        QCOMPARE(Text(page)->toPlainText(),
                 QStringLiteral("A connection could not be successfully formed to the user."));
        Reply(page, "late");
        page->OnConnectionToUserFailed("bob", "P");
        QCOMPARE(Text(page)->toPlainText(), QStringLiteral("late"));
    }

    // One page, and one request, per user until its tab is closed.
    void oneRequestPerOpenPage()
    {
        QVERIFY(Start());
        UserInfoForm* page = userListForm->GetUserInfoForm("bob");
        QCOMPARE(userListForm->GetUserInfoForm("bob"), page);
        QVERIFY(m_bob->Take("event UserInfoRequested"));
        QCOMPARE(m_bob->Count("event UserInfoRequested"), 0);
        auto* tabs = userListForm->findChild<QTabWidget*>("userInfoTabs");
        emit tabs->tabCloseRequested(tabs->indexOf(page));
        QVERIFY(!User("bob")["user_info_form"]);
        QVERIFY(userListForm->GetUserInfoForm("bob") != nullptr);
        QVERIFY(m_bob->Take("event UserInfoRequested"));
        QCOMPARE(tabs->count(), 1);
    }

    // Replies that cannot be read in full reach no page: a short text, a negative or an overlong
    // picture length.
    void brokenRepliesAreDropped()
    {
        QVERIFY(Start());
        UserInfoForm* page = userListForm->GetUserInfoForm("bob");
        QVERIFY(m_bob->Take("event UserInfoRequested"));
        QSignalSpy replies(peerMessenger, &PeerMessenger::UserInfoReceived);
        for (const char* body : {"10000000 05000000 6869", "10000000 00000000 01 ffffffff 02000000 00000000 01",
                                 "10000000 00000000 01 10000000 5049 02000000 00000000 01",
                                 "10000000 02000000 6869 00 01000000 00000000 00"})
            m_bob->Send({"send", "tester", Hex(body)});
        QTRY_COMPARE(replies.count(), 1);
        QCOMPARE(Text(page)->toPlainText(), QStringLiteral("hi"));
        QCOMPARE(page->findChild<QLineEdit*>("freeToUploadEdit")->text(), QStringLiteral("No"));
    }

    void screenshots()
    {
        SKIP_UNLESS_SCREENSHOTS();
        QVERIFY(Start(false));
        UserInfoForm* page = userListForm->GetUserInfoForm("bob");
        Reply(page, "Collector of field recordings.\nAsk before queueing whole folders, please.", Png(1200, 500));
        FocusWidgetAndParents(page);
        m_run->window->resize(900, 650);
        SAVE_SCREENSHOT(m_run->window.get(), "user_info_page");

        Reply(page, "<b>Hello</b> &amp; welcome: " + QString(2000, '<') + "<br>a" + QString("&#769;").repeated(3000)
                        + "<br>" + QString::fromUcs4(U"e\u0301\U0001F600").repeated(200) + "<br>"
                        + QString(QChar(0x0E20)).append(QChar(0x0E32)).repeated(40000));
        SAVE_SCREENSHOT(m_run->window.get(), "user_info_hostile_description");
    }
};

QTEST_MAIN(TestUserInfo)
#include "test_user_info.moc"
