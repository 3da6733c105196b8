#pragma once

// The test server's part in the distributed search tree: each user gets the parent candidates
// the test names for it, and every search is also embedded for the branch roots (users that
// take children and have no parent). It only listens to the test server's frames and answers
// through its scripting surface, so the server itself stays as it is.

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

class TestServer;

class TestTree : public QObject
{
    Q_OBJECT

public:
    explicit TestTree(TestServer* ip_server);

    // Offered, with their current listening addresses, when the user asks for a parent.
    void SetCandidates(const QString& i_user, const QStringList& i_parents) { m_candidates[i_user] = i_parents; }
    // Whether searches are embedded for branch roots (on by default).
    void SetEmbedSearches(bool i_embed) { m_embed = i_embed; }
    QStringList BranchRoots() const;

private:
    struct Member
    {
        bool haveNoParent = true;
        bool acceptChildren = false;
    };

    void OnFrame(QString i_user, quint32 i_code, const QByteArray& i_body);
    void OfferParents(const QString& i_user);

    TestServer* mp_server;
    QHash<QString, QStringList> m_candidates;
    QHash<QString, Member> m_members;
    bool m_embed = true;
};
