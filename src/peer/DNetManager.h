#pragma once

#include <QObject>
#include <QString>

// The client's place in the distributed search network. Joining the tree comes later; for
// now the client stays outside it and hears no distributed searches.
class DNetManager : public QObject
{
    Q_OBJECT

public:
    DNetManager();
    ~DNetManager() override;

signals:
    void DNetSearchRequest(QString i_user, quint32 i_req, QString i_searchText);
};

extern DNetManager* dnetManager;
