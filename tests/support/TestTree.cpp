#include "TestTree.h"

#include "TestServer.h"
#include "Wire.h"

TestTree::TestTree(TestServer* ip_server)
    : QObject(ip_server)
    , mp_server(ip_server)
{
    connect(ip_server, &TestServer::FrameReceived, this,
            [this](int, QString i_user, quint32 i_code, QByteArray i_body) { OnFrame(i_user, i_code, i_body); });
    connect(ip_server, &TestServer::ConnectionClosed, this, [this](int, QString i_user) { m_members.remove(i_user); });
}

QStringList TestTree::BranchRoots() const
{
    QStringList roots;
    for (auto it = m_members.constBegin(); it != m_members.constEnd(); ++it)
        if (it->haveNoParent && it->acceptChildren && mp_server->IsLoggedIn(it.key()))
            roots.append(it.key());
    roots.sort();
    return roots;
}

void TestTree::OnFrame(QString i_user, quint32 i_code, const QByteArray& i_body)
{
    if (i_user.isEmpty() || i_body.isEmpty())
        return;
    WireReader in(i_body);
    switch (i_code)
    {
    case SM_HAVE_NO_PARENT:
        m_members[i_user].haveNoParent = in.U8() != 0;
        if (m_members[i_user].haveNoParent)
            OfferParents(i_user);
        break;
    case SM_ACCEPT_CHILDREN: m_members[i_user].acceptChildren = in.U8() != 0; break;
    case SM_FILE_SEARCH:
    {
        if (!m_embed)
            break;
        const quint32 token = in.U32();
        const QString query = in.Str();
        if (in.Failed())
            break;
        for (const QString& root : BranchRoots())
            mp_server->SendEmbeddedSearch(root, i_user, token, query);
        break;
    }
    default: break;
    }
}

void TestTree::OfferParents(const QString& i_user)
{
    const QStringList parents = m_candidates.value(i_user);
    if (parents.isEmpty())
        return;
    WireWriter reply;
    reply.U32(static_cast<quint32>(parents.size()));
    for (const QString& parent : parents)
    {
        const bool known = mp_server->HasAccount(parent);
        reply.Str(parent).Ip(0x7f000001).U32(known ? mp_server->AccountOf(parent).m_port : 0);
    }
    mp_server->SendFrame(i_user, SM_POSSIBLE_PARENTS, reply.Body());
}
