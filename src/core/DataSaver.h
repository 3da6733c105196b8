#pragma once

// The data file: which types are written, the atomic save and the validating load.

#include "Data.h"

#include <QString>

#include <map>
#include <set>
#include <string>
#include <vector>

// Told when loading has finished (DataLoaded) and, after that, when there was no data (NoData).
class DataLoadedEventHandler
{
public:
    DataLoadedEventHandler() = default;
    DataLoadedEventHandler(const DataLoadedEventHandler&) = delete;
    DataLoadedEventHandler& operator=(const DataLoadedEventHandler&) = delete;
    // Leaves the saver's set of listeners, so a listener may go before the load.
    virtual ~DataLoadedEventHandler();

    virtual void DataLoaded() {}
    virtual void NoData() {}
};

// The saver's listeners in registration order; a second insert of one listener changes nothing.
class DataLoadedListenerSet
{
public:
    using const_iterator = std::vector<DataLoadedEventHandler*>::const_iterator;

    void insert(DataLoadedEventHandler* ip_listener);
    void erase(DataLoadedEventHandler* ip_listener);
    bool contains(DataLoadedEventHandler* ip_listener) const;
    std::size_t size() const { return m_listeners.size(); }
    const_iterator begin() const { return m_listeners.begin(); }
    const_iterator end() const { return m_listeners.end(); }

private:
    std::vector<DataLoadedEventHandler*> m_listeners;
};

class DataSaver
{
public:
    DataSaver();
    DataSaver(const DataSaver&) = delete;
    DataSaver& operator=(const DataSaver&) = delete;
    ~DataSaver();

    // Every item of the type is written.
    void AddSavedType(std::string i_type);
    // Items of the type are written when linked to a written item of the other type; several
    // others may be given for one type, and a link to any written one suffices.
    void AddSavedByConnectionType(std::string i_type, std::string i_other);

    // Writes the saved items and the links between them to the path, atomically and readable by
    // the owner only. Failures leave the previous file as it was and are only logged.
    void Save(QString i_path);
    // Same, telling whether the file was written.
    bool SaveFile(const QString& i_path);

    // A missing file counts as a first start (DataLoaded then NoData). A file that cannot be read
    // as a whole throws DataLoadFailure by value: the store is left as it was, no listener is
    // called, and the file is kept beside the path with the suffix ".bad".
    void Load(QString i_path);

    // DataLoaded then NoData on every listener: a first start, or going on after a failed load.
    void NotifyFirstStart();

    void AddListener(DataLoadedEventHandler* ip_listener) { m_listeners.insert(ip_listener); }
    // Whether the listeners have been told that loading finished: one that registers later is
    // not told, and reads the store itself.
    bool HasLoaded() const { return m_loaded; }

    DataLoadedListenerSet m_listeners;

private:
    void NotifyLoaded(bool i_noData);

    bool m_loaded = false;
    std::set<std::string> m_savedTypes;
    std::map<std::string, std::set<std::string>> m_savedByConnection;
};

extern DataSaver* dataSaver;
