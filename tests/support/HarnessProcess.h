#pragma once

// Drives one headless client harness process from a test: commands in, answer lines out.

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

class HarnessProcess
{
public:
    ~HarnessProcess()
    {
        if (m_process.state() != QProcess::NotRunning)
        {
            m_process.write("quit\n");
            if (!m_process.waitForFinished(5000))
                m_process.kill();
            m_process.waitForFinished(2000);
        }
    }

    // i_arguments: {"full"} for the whole engine, none for the peer networks alone.
    bool Start(const QStringList& i_arguments = {})
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), m_home.path());
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.setStandardErrorFile(m_home.filePath(QStringLiteral("stderr.txt")));
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { Collect(); });
        if (m_openFiles > 0)
            // Soft and hard limit alike, as a system with the usual limits gives them.
            m_process.start(QStringLiteral("/bin/sh"),
                            QStringList{QStringLiteral("-c"),
                                        QStringLiteral("ulimit -n %1 && exec \"$0\" \"$@\"").arg(m_openFiles),
                                        QStringLiteral(VELTRANE_HARNESS)}
                                + i_arguments);
        else
            m_process.start(QStringLiteral(VELTRANE_HARNESS), i_arguments);
        return m_process.waitForStarted(5000);
    }

    // The open-file limit the next Start gives the process; 0 keeps this process's.
    void SetOpenFileLimit(int i_files) { m_openFiles = i_files; }
    qint64 ProcessId() const { return m_process.processId(); }

    QString Home() const { return m_home.path(); }

    // Starts the engine as i_user on i_listeningPort (and the next port), pointed at the test
    // server; i_settings ("key", "value") are written before the engine starts.
    bool StartEngine(const QString& i_user, quint16 i_serverPort, quint16 i_listeningPort,
                     const QList<QStringList>& i_settings = {})
    {
        Send({QStringLiteral("set"), QStringLiteral("username"), i_user});
        Send({QStringLiteral("set"), QStringLiteral("password"), QStringLiteral("secret")});
        Send({QStringLiteral("set"), QStringLiteral("server_host"), QStringLiteral("127.0.0.1")});
        Send({QStringLiteral("set"), QStringLiteral("server_port"), QString::number(i_serverPort)});
        Send({QStringLiteral("set"), QStringLiteral("new_listening_port"), QString::number(i_listeningPort)});
        for (const QStringList& setting : i_settings)
            Send(QStringList{QStringLiteral("set")} + setting);
        Send({QStringLiteral("start")});
        QStringList ports;
        return Take("ports", &ports) && ports.value(0) == QString::number(i_listeningPort);
    }

    // Logs the started engine in to the test server.
    bool Connect()
    {
        Send({QStringLiteral("login")});
        return Take("event Connected");
    }

    bool LogIn(const QString& i_user, quint16 i_serverPort, quint16 i_listeningPort,
               const QList<QStringList>& i_settings = {})
    {
        return StartEngine(i_user, i_serverPort, i_listeningPort, i_settings) && Connect();
    }

    // Returns once everything sent before has been handled.
    bool Sync()
    {
        Send({QStringLiteral("ping")});
        return Take("pong");
    }

    // Ends the process at once, as a crash or a power cut would.
    void Kill()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    void Send(const QStringList& i_words)
    {
        QByteArray line;
        for (const QString& word : i_words)
        {
            if (!line.isEmpty())
                line += ' ';
            const QByteArray encoded = QUrl::toPercentEncoding(word);
            line += encoded.isEmpty() ? QByteArray("%") : encoded;
        }
        m_process.write(line + '\n');
    }

    // Takes the first line starting with the prefix; its fields after the prefix, decoded.
    bool Take(const QByteArray& i_prefix, QStringList* op_fields = nullptr, int i_timeoutMs = 10000)
    {
        QElapsedTimer timer;
        timer.start();
        while (true)
        {
            for (int n = 0; n < m_lines.size(); ++n)
            {
                if (m_lines.at(n) != i_prefix && !m_lines.at(n).startsWith(i_prefix + ' '))
                    continue;
                const QByteArray line = m_lines.takeAt(n);
                if (op_fields)
                {
                    op_fields->clear();
                    for (const QByteArray& field : line.mid(i_prefix.size()).split(' '))
                        if (!field.isEmpty())
                            *op_fields << (field == "%" ? QString() : QUrl::fromPercentEncoding(field));
                }
                return true;
            }
            if (timer.elapsed() > i_timeoutMs || m_process.state() == QProcess::NotRunning)
                return false;
            QTest::qWait(5);
        }
    }

    // How many unread lines start with the prefix, after everything sent so far was handled.
    int Count(const QByteArray& i_prefix)
    {
        Sync();
        int count = 0;
        for (const QByteArray& line : m_lines)
            if (line == i_prefix || line.startsWith(i_prefix + ' '))
                ++count;
        return count;
    }

private:
    void Collect()
    {
        m_buffer += m_process.readAllStandardOutput();
        int end;
        while ((end = m_buffer.indexOf('\n')) >= 0)
        {
            m_lines << m_buffer.left(end);
            m_buffer.remove(0, end + 1);
        }
    }

    QTemporaryDir m_home;
    QProcess m_process;
    QByteArray m_buffer;
    QList<QByteArray> m_lines;
    int m_openFiles = 0;
};
