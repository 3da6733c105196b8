#include "UpnpGateway.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QUuid>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace
{
const QStringList kSearchPath = {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"), QStringLiteral("/sbin"),
                                 QStringLiteral("/bin")};

QString Find(const QString& i_name)
{
    QString path = QStandardPaths::findExecutable(i_name);
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(i_name, kSearchPath);
    return path;
}

// The gateway's own tables: miniupnpd adds its rules to these chains.
const char* const kRules = R"(table inet vtfilter {
  chain miniupnpd {
  }
  chain forward {
    type filter hook forward priority 0; policy drop;
    jump miniupnpd
  }
}
table inet vtnat {
  chain prerouting_miniupnpd {
  }
  chain postrouting_miniupnpd {
  }
  chain prerouting {
    type nat hook prerouting priority -100; policy accept;
    jump prerouting_miniupnpd
  }
  chain postrouting {
    type nat hook postrouting priority 100; policy accept;
    jump postrouting_miniupnpd
  }
}
)";
} // namespace

UpnpGateway::UpnpGateway()
{
    const QString suffix = QString::number(QCoreApplication::applicationPid());
    m_gatewayNs = QStringLiteral("vtgw") + suffix;
    m_clientNs = QStringLiteral("vtcl") + suffix;
}

UpnpGateway::~UpnpGateway()
{
    if (m_originalNs >= 0)
    {
        setns(m_originalNs, CLONE_NEWNET);
        close(m_originalNs);
    }
    if (m_daemon.state() != QProcess::NotRunning)
    {
        m_daemon.terminate();
        if (!m_daemon.waitForFinished(3000))
        {
            m_daemon.kill();
            m_daemon.waitForFinished(3000);
        }
    }
    if (m_made)
    {
        Run({QStringLiteral("netns"), QStringLiteral("del"), m_clientNs});
        Run({QStringLiteral("netns"), QStringLiteral("del"), m_gatewayNs});
    }
}

QString UpnpGateway::Unavailable()
{
    if (geteuid() != 0)
        return QStringLiteral("the UPnP gateway needs root for its network namespaces");
    for (const char* tool : {"ip", "nft", "miniupnpd"})
        if (Find(QString::fromLatin1(tool)).isEmpty())
            return QStringLiteral("the UPnP gateway needs %1 (Debian packages iproute2, nftables, miniupnpd)")
                .arg(QString::fromLatin1(tool));
    return QString();
}

bool UpnpGateway::Run(const QStringList& i_arguments, QString* o_output) const
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(Find(QStringLiteral("ip")), i_arguments);
    if (!process.waitForFinished(10000))
    {
        process.kill();
        process.waitForFinished();
        return false;
    }
    if (o_output)
        *o_output = QString::fromLocal8Bit(process.readAll());
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool UpnpGateway::Start(QString* o_error)
{
    auto fail = [o_error](const QString& i_what) {
        if (o_error)
            *o_error = i_what;
        return false;
    };
    if (!m_dir.isValid())
        return fail(QStringLiteral("no temporary folder"));
    const QString gw = m_gatewayNs;
    const QString cl = m_clientNs;
    const QString n = QStringLiteral("-n");
    const QList<QStringList> steps = {
        {"netns", "add", gw},
        {"netns", "add", cl},
        {n, gw, "link", "set", "lo", "up"},
        {n, cl, "link", "set", "lo", "up"},
        {n, gw, "link", "add", "lan0", "type", "veth", "peer", "name", "eth0", "netns", cl},
        {n, gw, "addr", "add", "10.253.0.1/24", "dev", "lan0"},
        {n, gw, "link", "set", "lan0", "up"},
        {n, cl, "addr", "add", "10.253.0.2/24", "dev", "eth0"},
        {n, cl, "link", "set", "eth0", "up"},
        {n, cl, "route", "add", "default", "via", "10.253.0.1"},
        // miniupnpd maps nothing behind a private external address, so the gateway's outside is
        // a routable one; its peer end sits in the same namespace and nothing is routed there.
        {n, gw, "link", "add", "wan0", "type", "veth", "peer", "name", "wan1"},
        {n, gw, "addr", "add", "100.128.0.1/24", "dev", "wan0"},
        {n, gw, "link", "set", "wan0", "up"},
        {n, gw, "link", "set", "wan1", "up"},
    };
    for (const QStringList& step : steps)
    {
        QString output;
        if (!Run(step, &output))
            return fail(QStringLiteral("ip %1 failed: %2").arg(step.join(QLatin1Char(' ')), output.trimmed()));
        if (step.value(1) == cl)
            m_made = true;
    }

    const QString rules = m_dir.filePath(QStringLiteral("rules.nft"));
    const QString config = m_dir.filePath(QStringLiteral("miniupnpd.conf"));
    QFile rulesFile(rules);
    if (!rulesFile.open(QIODevice::WriteOnly) || rulesFile.write(kRules) < 0)
        return fail(QStringLiteral("cannot write the nft rules"));
    rulesFile.close();
    QString output;
    if (!Run({QStringLiteral("netns"), QStringLiteral("exec"), gw, Find(QStringLiteral("nft")), QStringLiteral("-f"),
              rules},
             &output))
        return fail(QStringLiteral("nft failed: %1").arg(output.trimmed()));

    QFile configFile(config);
    if (!configFile.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write the miniupnpd configuration"));
    configFile.write(QStringLiteral("ext_ifname=wan0\n"
                                    "listening_ip=lan0\n"
                                    "port=0\n"
                                    "enable_natpmp=no\n"
                                    "enable_upnp=yes\n"
                                    "secure_mode=yes\n"
                                    "system_uptime=yes\n"
                                    "uuid=%1\n"
                                    "upnp_table_name=vtfilter\n"
                                    "upnp_nat_table_name=vtnat\n"
                                    "upnp_forward_chain=miniupnpd\n"
                                    "upnp_nat_chain=prerouting_miniupnpd\n"
                                    "upnp_nat_postrouting_chain=postrouting_miniupnpd\n"
                                    "allow 1024-65535 10.253.0.0/24 1024-65535\n"
                                    "deny 0-65535 0.0.0.0/0 0-65535\n")
                         .arg(QUuid::createUuid().toString(QUuid::WithoutBraces))
                         .toUtf8());
    configFile.close();

    m_daemon.setProcessChannelMode(QProcess::MergedChannels);
    m_daemon.start(Find(QStringLiteral("ip")),
                   {QStringLiteral("netns"), QStringLiteral("exec"), gw, Find(QStringLiteral("miniupnpd")),
                    QStringLiteral("-d"), QStringLiteral("-f"), config, QStringLiteral("-P"),
                    m_dir.filePath(QStringLiteral("miniupnpd.pid"))});
    if (!m_daemon.waitForStarted(5000))
        return fail(QStringLiteral("miniupnpd did not start"));
    QByteArray log;
    QElapsedTimer timer;
    timer.start();
    while (!log.contains("HTTP listening on port"))
    {
        if (m_daemon.state() == QProcess::NotRunning || timer.elapsed() > 5000)
            return fail(QStringLiteral("miniupnpd is not ready: %1").arg(QString::fromLocal8Bit(log)));
        m_daemon.waitForReadyRead(200);
        log += m_daemon.readAll();
    }
    return true;
}

bool UpnpGateway::EnterClientNamespace()
{
    const QByteArray path = QStringLiteral("/var/run/netns/%1").arg(m_clientNs).toLocal8Bit();
    const int target = open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (target < 0)
        return false;
    if (m_originalNs < 0)
        m_originalNs = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const bool entered = setns(target, CLONE_NEWNET) == 0;
    close(target);
    return entered;
}

bool UpnpGateway::HasMapping(quint16 i_port) const
{
    QString output;
    if (!Run({QStringLiteral("netns"), QStringLiteral("exec"), m_gatewayNs, Find(QStringLiteral("nft")),
              QStringLiteral("list"), QStringLiteral("chain"), QStringLiteral("inet"), QStringLiteral("vtnat"),
              QStringLiteral("prerouting_miniupnpd")},
             &output))
        return false;
    return output.contains(QStringLiteral("dport %1 dnat ip to %2:%1").arg(i_port).arg(ClientAddress()));
}

void UpnpGateway::ClearMappings()
{
    for (const char* chain : {"prerouting_miniupnpd", "postrouting_miniupnpd"})
        Run({QStringLiteral("netns"), QStringLiteral("exec"), m_gatewayNs, Find(QStringLiteral("nft")),
             QStringLiteral("flush"), QStringLiteral("chain"), QStringLiteral("inet"), QStringLiteral("vtnat"),
             QString::fromLatin1(chain)});
    Run({QStringLiteral("netns"), QStringLiteral("exec"), m_gatewayNs, Find(QStringLiteral("nft")),
         QStringLiteral("flush"), QStringLiteral("chain"), QStringLiteral("inet"), QStringLiteral("vtfilter"),
         QStringLiteral("miniupnpd")});
}
