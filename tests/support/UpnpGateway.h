#pragma once

// A real UPnP gateway for tests: Debian's miniupnpd in a network namespace of its own, joined by
// a veth pair to a second namespace for the client. Nothing leaves the two namespaces; the
// addresses exist only inside them. Needs root, ip, nft and miniupnpd.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class UpnpGateway
{
public:
    UpnpGateway();
    ~UpnpGateway();
    UpnpGateway(const UpnpGateway&) = delete;
    UpnpGateway& operator=(const UpnpGateway&) = delete;

    // Why the gateway cannot run here, or an empty text when it can.
    static QString Unavailable();

    // Makes the namespaces and starts miniupnpd; false with a reason in o_error.
    bool Start(QString* o_error);
    // Moves the calling thread (and every thread it starts later) into the client namespace;
    // the destructor moves it back.
    bool EnterClientNamespace();
    // Whether the gateway forwards this TCP port to the client.
    bool HasMapping(quint16 i_port) const;
    // Drops every mapping behind miniupnpd's back, as a router reboot would.
    void ClearMappings();

    static QString ClientAddress() { return QStringLiteral("10.253.0.2"); }

private:
    bool Run(const QStringList& i_arguments, QString* o_output = nullptr) const;

    QString m_gatewayNs;
    QString m_clientNs;
    QTemporaryDir m_dir;
    QProcess m_daemon;
    int m_originalNs = -1;
    bool m_made = false;
};
