#include "Data.h"
#include "DataFixture.h"

#include <QSignalSpy>
#include <QtTest>

#include <vector>

// Deletes itself from inside its own handler, as a window closing on an event does.
class SelfDeleting : public DataHandler
{
public:
    explicit SelfDeleting(int* ip_calls)
        : mp_calls(ip_calls)
    {
    }
    void OnEvent(ItemPtr)
    {
        ++*mp_calls;
        delete this;
    }

private:
    int* mp_calls;
};

class Emitter : public QObject
{
    Q_OBJECT
signals:
    void Item(ItemPtr i_item);
};

// The common shapes: a valued type made on first get, or a null type of one item.
Type* NewValued(const char* i_name, Primacy i_primacy = Secondary)
{
    return d->NewType(i_name, i_primacy, false, true);
}
Type* NewNull(const char* i_name)
{
    return d->NewType(i_name, Secondary, true, false);
}
template<class Owner, class Arg> EventHandler<Owner, Arg>* On(Owner* ip_owner, void (Owner::*i_method)(Arg))
{
    return new EventHandler<Owner, Arg>(ip_owner, i_method);
}

class TestDataModel : public QObject
{
    Q_OBJECT

private:
    DataFixture m_fixture;

private slots:
    void init() { m_fixture.Begin(); }
    void cleanup() { m_fixture.End(); }

    void declarationErrors()
    {
        Type *a = d->NewType("a", Primary, false, false), *b = d->NewType("b", Secondary, false, false);
        QVERIFY_EXCEPTION_THROWN(d->NewType("a", Primary, false, false), TypeAlreadyExistsException);
        QVERIFY_EXCEPTION_THROWN(d->GetType("missing"), TypeNotFoundException);
        QVERIFY(d->HasType("a") && !d->HasType("missing"));
        a->RelateToType(b, Many, Many);
        QVERIFY_EXCEPTION_THROWN(b->RelateToType(a, One, One), AlreadyRelatedException);
        Type* c = NewValued("c");
        ItemPtr x = a->GetItem("x");
        QVERIFY(x.IsNull()); // not create-on-get
        x = a->NewItem("x");
        QVERIFY_EXCEPTION_THROWN(x.Connect(c->GetItem("y")), NotRelatedException);
        QVERIFY_EXCEPTION_THROWN(x.GetItems("c"), NotRelatedException);
        QVERIFY_EXCEPTION_THROWN(a->NewItem(), NullTypeException);
    }

    void oneEndReplacementOrder()
    {
        Type *entry = NewValued("download_entry", Primary), *status = NewValued("download_entry_status");
        status->RelateToType(entry, One, Many); // one status per entry, many entries per status
        Recorder recorder;
        entry->m_itemConnected.insert(On(&recorder, &Recorder::Connected));
        entry->m_itemDisconnected.insert(On(&recorder, &Recorder::Disconnected));
        ItemPtr e = entry->GetItem("e");
        e += status->GetItem("queued");
        e += status->GetItem("running");
        QCOMPARE(recorder.log, QStringList({"+ e queued", "- e queued", "+ e running"}));
        QCOMPARE(e.GetItems("download_entry_status").size(), std::size_t(1));
        QCOMPARE(e["download_entry_status"].AsString(), QStringLiteral("running"));
        entry->GetItem("f") += status->GetItem("running"); // the many end keeps both
        QCOMPARE(status->GetItem("running").GetItems("download_entry").size(), std::size_t(2));
        recorder.log.clear();
        ItemPtr returned = e.Connect(status->GetItem("running")); // already linked: nothing
        QCOMPARE(returned.AsString(), QStringLiteral("running"));
        QVERIFY(recorder.log.isEmpty());
        e -= status->GetItem("running");
        QCOMPARE(recorder.log, QStringList({"- e running"}));
        QVERIFY(e.IsDisconnectedFromAll());
    }

    void newItemShapes()
    {
        Type *user = NewValued("user", Primary), *inList = NewNull("in_user_list"), *room = NewValued("room", Primary);
        Type *autojoin = NewNull("room_autojoin"), *message = NewNull("private_message"),
             *name = NewValued("file_name");
        user->RelateToType(inList, One, One);
        room->RelateToType(autojoin, Many, One);
        user->RelateToType(message, One, Many);
        user->RelateToType(name, Many, Many);

        ItemPtr u1 = user->GetItem("u1");
        ItemPtr u2 = user->GetItem("u2");
        ItemPtr l1 = u1.NewItem("in_user_list");
        QVERIFY(!l1.IsNull());
        QCOMPARE(u1.NewItem("in_user_list"), l1);
        QVERIFY(u2.NewItem("in_user_list") != l1);

        ItemPtr shared = room->GetItem("r1").NewItem("room_autojoin");
        QCOMPARE(room->GetItem("r2").NewItem("room_autojoin"), shared);
        QCOMPARE(autojoin->GetItemCount(), std::size_t(1));

        ItemPtr m1 = u1.NewItem("private_message");
        ItemPtr m2 = u1.NewItem("private_message");
        QVERIFY(m1 != m2);
        QCOMPARE(u1.GetItems("private_message").size(), std::size_t(2));

        QVERIFY_EXCEPTION_THROWN(u1.NewItem("file_name"), NullTypeException);
        QVERIFY(ItemPtr().NewItem("in_user_list").IsNull());
    }

    void removalAndStaleHandles()
    {
        Type *user = NewValued("user", Primary), *note = NewValued("user_note");
        user->RelateToType(note, Many, One);
        Recorder recorder;
        user->m_itemRemoved.insert(On(&recorder, &Recorder::Removed));
        d->m_itemRemoved.insert(On(&recorder, &Recorder::Removed));
        user->m_itemDisconnected.insert(On(&recorder, &Recorder::Disconnected));
        ItemPtr u = user->GetItem("alice");
        u += note->GetItem("friend");
        // A handler removing the same item again must not run the removal twice.
        recorder.onRemoved = [](ItemPtr i_item) { i_item.Remove(); };

        Emitter emitter;
        ItemPtr received;
        connect(
            &emitter, &Emitter::Item, this, [&received](ItemPtr i_item) { received = i_item; }, Qt::QueuedConnection);
        emit emitter.Item(u);

        ItemPtr copy = u;
        u.Remove();
        QCOMPARE(recorder.log, QStringList({"removed alice links=1", "removed alice links=1", "- alice friend"}));
        QVERIFY(copy.IsNull());
        QCOMPARE(copy.AsString(), QString());
        QVERIFY(copy["user_note"].IsNull());
        QVERIFY(copy.GetItems("user_note").empty());
        copy += note->GetItem("other"); // ignored
        QVERIFY(note->GetItem("other").IsDisconnectedFromAll());
        QCOMPARE(user->GetItemCount(), std::size_t(0));
        copy.Remove();
        ItemPtr().Remove();

        QTRY_VERIFY(received != ItemPtr());
        QVERIFY(received.IsNull());
        // A new item with the old value is a different item.
        ItemPtr again = user->GetItem("alice");
        QVERIFY(again != received);
        QVERIFY(!again.IsNull());
    }

    void handlersEndWithTheirOwner()
    {
        Type* room = NewValued("room", Primary);
        int selfCalls = 0;
        auto* form = new SelfDeleting(&selfCalls);
        room->m_itemCreated.insert(On(form, &SelfDeleting::OnEvent));
        room->m_itemCreated.insert(On(form, &SelfDeleting::OnEvent));
        Recorder recorder;
        room->m_itemCreated.insert(On(&recorder, &Recorder::Created));
        room->GetItem("one");
        QCOMPARE(selfCalls, 1); // its second handler ended with it
        QCOMPARE(recorder.log, QStringList({"created one"}));
        room->GetItem("two");
        QCOMPARE(selfCalls, 1);
        QCOMPARE(recorder.log.size(), 2);

        // Added during a notification: waits for the next one.
        struct Adder : DataHandler
        {
            Type* type;
            Recorder* recorder;
            void Add(ItemPtr) { type->m_itemCreated.insert(On(recorder, &Recorder::Created)); }
        } adder;
        Recorder late;
        adder.type = room;
        adder.recorder = &late;
        NewValued("other", Primary)->m_itemCreated.insert(On(&adder, &Adder::Add));
        room->m_itemCreated.insert(On(&adder, &Adder::Add));
        room->GetItem("three");
        QVERIFY(late.log.isEmpty());
        room->GetItem("four");
        QVERIFY(late.log.contains("created four"));
        {
            Recorder gone;
            room->m_itemCreated.insert(On(&gone, &Recorder::Created));
        }
        room->GetItem("five"); // the ended handler is skipped, not called
    }

    // A handler taken out leaves the set empty again, so the store's unheard shortcuts apply; one
    // taken out during a notification, itself or a later one, is not called and goes after it.
    void a_handler_taken_out_is_not_called_again()
    {
        Type* room = NewValued("room", Primary);
        Recorder recorder;
        auto* recording = On(&recorder, &Recorder::Created);
        room->m_itemCreated.insert(recording);
        room->m_itemCreated.erase(recording);
        room->m_itemCreated.erase(recording);
        QVERIFY(room->m_itemCreated.empty());
        room->GetItem("one");
        QVERIFY(recorder.log.isEmpty());

        struct Taker : DataHandler
        {
            EventHandlerSet<ItemPtr>* events = nullptr;
            std::vector<EventHandlerBase<ItemPtr>*> handlers;
            int calls = 0;
            void Take(ItemPtr)
            {
                ++calls;
                for (EventHandlerBase<ItemPtr>* handler : handlers)
                    events->erase(handler);
            }
        } taker;
        taker.events = &room->m_itemCreated;
        taker.handlers = {On(&taker, &Taker::Take), On(&recorder, &Recorder::Created)};
        for (EventHandlerBase<ItemPtr>* handler : taker.handlers)
            room->m_itemCreated.insert(handler);
        room->GetItem("two");
        QCOMPARE(taker.calls, 1);
        QVERIFY(recorder.log.isEmpty());
        QVERIFY(room->m_itemCreated.empty());
    }

    void connectionHandlerOrder()
    {
        Type *room = NewValued("room", Primary), *inRoom = NewNull("in_room");
        room->RelateToType(inRoom, One, One);
        Recorder recorder;
        room->m_itemConnected.insert(On(&recorder, &Recorder::Connected));
        d->AddConnectionEventHandler(inRoom, room, On(&recorder, &Recorder::Connected));
        auto* path = new PathNode(d, "room");
        new PathNode(path, "in_room", PathOnConnect);
        d->AddPathEventHandler(path, On(&recorder, &Recorder::Path));
        room->GetItem("lobby").NewItem("in_room");
        // The type's event, the store's connection handler (first = the first type's item), the path.
        QCOMPARE(recorder.log, QStringList({"+ lobby ", "+  lobby", "path lobby"}));
        QVERIFY_EXCEPTION_THROWN(
            d->AddConnectionEventHandler(room, NewValued("unrelated", Primary), On(&recorder, &Recorder::Connected)),
            NotRelatedException);
    }

    void pathShapes()
    {
        Type *user = NewValued("user", Primary), *entry = NewValued("download_entry", Primary);
        Type *fileName = NewValued("file_name"), *folder = NewValued("remote_folder"), *size = NewValued("file_size");
        Type *inList = NewNull("in_user_list"), *group = NewValued("user_list_group", Primary);
        Type *room = NewValued("room", Primary), *operators = NewNull("room_operators"),
             *online = NewValued("is_online");
        Type* order = NewValued("download_order");
        for (Type* held : {user, fileName, folder, size, order})
            entry->RelateToType(held, Many, One);
        user->RelateToType(inList, One, One);
        inList->RelateToType(group, Many, One);
        room->RelateToType(operators, One, One);
        user->RelateToType(operators, Many, Many);
        user->RelateToType(online, Many, Many);

        Recorder fourRequired, groupPath, operatorPath, offlinePath;
        auto* entryRoot = new PathNode(d, "download_entry");
        for (const char* required : {"user", "file_name", "remote_folder", "file_size"})
            new PathNode(entryRoot, required, PathRequired);
        d->AddPathEventHandler(entryRoot, On(&fourRequired, &Recorder::Path));
        auto* groupRoot = new PathNode(d, "user");
        new PathNode(new PathNode(groupRoot, "in_user_list", PathRequiredQuiet), "user_list_group", PathOnConnect);
        d->AddPathEventHandler(groupRoot, On(&groupPath, &Recorder::Path));
        ItemPtr roomA = room->GetItem("A");
        ItemPtr opsA = roomA.NewItem("room_operators");
        ItemPtr opsB = room->GetItem("B").NewItem("room_operators");
        auto* operatorRoot = new PathNode(d, "user");
        new PathNode(new PathNode(operatorRoot, "room_operators", PathOnDisconnect), roomA, PathRequired);
        d->AddPathEventHandler(operatorRoot, On(&operatorPath, &Recorder::Path));
        auto* offlineRoot = new PathNode(d, "user");
        new PathNode(offlineRoot, "is_online", PathExcluded);
        d->AddPathEventHandler(offlineRoot, On(&offlinePath, &Recorder::Path));

        // Four required links: fires when the last arrives, again on a re-link, never otherwise.
        ItemPtr e = entry->GetItem("e1");
        e += user->GetItem("bob");
        e += fileName->GetItem("song.mp3");
        e += folder->GetItem("music");
        QVERIFY(fourRequired.log.isEmpty());
        e += size->GetItem("1000");
        QCOMPARE(fourRequired.log, QStringList({"path e1"}));
        e += order->GetItem("7");
        QCOMPARE(fourRequired.log.size(), 1);
        e += size->GetItem("2000");
        QCOMPARE(fourRequired.log, QStringList({"path e1", "path e1"}));

        // RequiredQuiet then OnConnect: only the group link fires.
        ItemPtr bob = user->GetItem("bob");
        ItemPtr listed = bob.NewItem("in_user_list");
        QVERIFY(groupPath.log.isEmpty());
        listed += group->GetItem("friends");
        QCOMPARE(groupPath.log, QStringList({"path bob"}));
        ItemPtr unlisted = user->GetItem("carol").NewItem("in_user_list");
        QCOMPARE(groupPath.log.size(), 1);
        unlisted.Remove();

        // An operator removed from its own room only.
        bob += opsA;
        bob += opsB;
        bob -= opsB;
        QVERIFY(operatorPath.log.isEmpty());
        bob -= opsA;
        QCOMPARE(operatorPath.log, QStringList({"path bob"}));

        // Excluded: fires when the last is_online link goes, not before, not on connect.
        bob += online->GetItem("server");
        bob += online->GetItem("peer");
        QVERIFY(offlinePath.log.isEmpty());
        bob -= online->GetItem("server");
        QVERIFY(offlinePath.log.isEmpty());
        bob -= online->GetItem("peer");
        QCOMPARE(offlinePath.log, QStringList({"path bob"}));
    }

    void pathOnOneSetting()
    {
        DeclareSettingTypes();
        Recorder recorder;
        auto* root = new PathNode(GetSettingItem("listening_port"));
        new PathNode(root, "global_value", PathOnConnect);
        d->AddPathEventHandler(root, On(&recorder, &Recorder::Path));
        SetSetting("other_key", "1");
        QVERIFY(recorder.log.isEmpty());
        SetSetting("listening_port", "2235");
        SetSetting("listening_port", "2235"); // unchanged: no link made
        SetSetting("listening_port", "4000");
        QCOMPARE(recorder.log, QStringList({"path listening_port", "path listening_port"}));

        // Handed the innermost node of a one-line path, the store still registers the whole path.
        Recorder nested;
        d->AddPathEventHandler(new PathNode(new PathNode(GetSettingItem("username")), "global_value", PathRequired),
                               On(&nested, &Recorder::Path));
        SetSetting("username", "alice");
        QCOMPARE(nested.log, QStringList({"path username"}));
    }

    void collectorKeepsFolderWithSharedName()
    {
        Type *sharedFolder = NewValued("shared_folder", Primary), *fileFolder = NewValued("shared_file_folder");
        Type *file = NewValued("shared_file"), *name = NewValued("shared_file_name");
        Type* token = d->NewType("search_token", Tertiary, false, true);
        fileFolder->RelateToType(sharedFolder, Many, One);
        file->RelateToType(fileFolder, Many, One);
        file->RelateToType(name, Many, One);
        file->RelateToType(token, Many, Many);

        auto addFile = [&](const char* i_path, ItemPtr i_folder, const char* i_name, const char* i_token) {
            ItemPtr f = file->GetItem(i_path);
            f += i_folder;
            f += name->GetItem(i_name);
            f += token->GetItem(i_token);
            return f;
        };
        ItemPtr kept = fileFolder->GetItem("/share/a");
        kept += sharedFolder->GetItem("/share");
        addFile("/share/a/x.mp3", kept, "x.mp3", "x");
        ItemPtr orphan = fileFolder->GetItem("/old/b"); // shares a name with a reachable file
        addFile("/old/b/x.mp3", orphan, "x.mp3", "x");
        addFile("/old/b/y.mp3", orphan, "y.mp3", "y");
        ItemPtr gone = fileFolder->GetItem("/old/c");
        addFile("/old/c/z.mp3", gone, "z.mp3", "z");

        Recorder removed;
        d->m_itemRemoved.insert(On(&removed, &Recorder::Removed));
        QCOMPARE(d->RemoveDisconnectedItems(), 4);
        QVERIFY(!orphan.IsNull());
        QVERIFY(!file->HasItem("/old/b/y.mp3").IsNull());
        QVERIFY(!name->HasItem("y.mp3").IsNull());
        QVERIFY(!token->HasItem("y").IsNull());
        QVERIFY(gone.IsNull());
        QVERIFY(token->HasItem("z").IsNull());
        removed.log.replaceInStrings(QRegularExpression(QStringLiteral(" links=.$")), QString()).sort();
        QCOMPARE(removed.log, QStringList({"removed /old/c", "removed /old/c/z.mp3", "removed z", "removed z.mp3"}));
        QCOMPARE(d->RemoveDisconnectedItems(), 0);
    }

    // Removing a members' linked items at once must tell handlers exactly what one removal after
    // the other tells them, also when a handler removes or creates items on the way.
    void batchRemovalMatchesOneByOne()
    {
        const auto run = [](bool i_batch) {
            Type *share = NewValued("share", Primary), *folder = NewValued("folder"), *file = NewValued("file");
            share->RelateToType(folder, One, Many);
            folder->RelateToType(file, Many, Many);
            ItemPtr s = share->GetItem("s");
            ItemPtr a = folder->GetItem("A"), b = folder->GetItem("B");
            s += a;
            s += b;
            // Interleaved runs, and one file in both folders.
            for (const char* name : {"a1", "b1", "a2", "b2", "ab"})
            {
                ItemPtr f = file->GetItem(name);
                if (name[0] == 'a')
                    f += a;
                if (name[0] == 'b' || name[1] == 'b')
                    f += b;
            }
            Recorder recorder;
            d->m_itemRemoved.insert(On(&recorder, &Recorder::Removed));
            file->m_itemDisconnected.insert(On(&recorder, &Recorder::Disconnected));
            // Removing b1 takes a1 along, and a new file may reuse a1's slot.
            recorder.onRemoved = [&](ItemPtr i_item) {
                if (i_item.AsString() == "b1")
                {
                    file->HasItem("a1").Remove();
                    file->GetItem("fresh") += a;
                }
            };
            const ItemSet folders = s.GetItems("folder");
            if (i_batch)
                folders.RemoveItemsNewestFirst("file");
            else
                folders.GetItems("file").RemoveNewestFirst();
            recorder.log << QString::number(file->GetItemCount()) << file->GetItems().First().AsString()
                         << QString::number(d->GetLinkCount());
            return recorder.log;
        };
        const QStringList oneByOne = run(false);
        m_fixture.End();
        m_fixture.Begin();
        const QStringList batch = run(true);
        QCOMPARE(batch, oneByOne);
        QCOMPARE(oneByOne.mid(0, 3), QStringList({"removed ab links=1", "- ab B", "- ab A"}));
        QCOMPARE(oneByOne.mid(oneByOne.size() - 3), QStringList({"1", "fresh", "3"}));
    }

    // Unheard, the collector removes a closed share's names at once; the store must end as when
    // each removal is heard: the names' index empty where all went, intact where some stay.
    void unheardCollectorMatchesHeard()
    {
        const auto run = [this](bool i_heard) {
            Type *share = d->NewType("share", Primary, true, false), *folder = NewNull("folder");
            Type *file = NewNull("file"), *name = d->NewType("name", Tertiary, false, true);
            Type *size = d->NewType("size", Tertiary, false, true), *album = d->NewType("album", Tertiary, false, true);
            share->RelateToType(folder, One, Many);
            folder->RelateToType(file, One, Many);
            file->RelateToType(name, Many, One);
            file->RelateToType(size, Many, One);
            file->RelateToType(album, Many, One);
            // Links among the unreached items, and one to a kept name.
            Type* tag = d->NewType("tag", Tertiary, false, true);
            album->RelateToType(tag, Many, Many);
            name->RelateToType(tag, Many, Many);
            ItemPtr kept = share->NewItem(), closed = share->NewItem();
            for (int k = 0; k < 200; ++k)
            {
                ItemPtr f = (k % 3 ? closed : kept).NewItem("folder").NewItem("file");
                f += name->GetItem(QString::number(k));
                f += size->GetItem(k % 7);
                if (k % 3)
                {
                    ItemPtr a = album->GetItem(k % 5); // only the closed share's: all go
                    f += a;
                    a += tag->GetItem(k % 2);
                }
            }
            name->GetItem("0") += tag->GetItem(0);
            const ItemPtr heldName = name->HasItem("1");
            Recorder recorder;
            if (i_heard)
                d->m_itemRemoved.insert(On(&recorder, &Recorder::Removed));
            const ItemSet folders = closed.GetItems("folder");
            folders.RemoveItemsNewestFirst("file");
            folders.RemoveNewestFirst();
            closed.Remove();
            QStringList result{QString::number(d->RemoveDisconnectedItems()), QString::number(d->GetItemCount()),
                               QString::number(d->GetLinkCount())};
            result << DumpStore();
            result << QString::number(heldName.IsNull()) << QString::number(name->HasItem("3").IsNull())
                   << QString::number(size->HasItem(3).IsNull()) << QString::number(name->GetItemCount());
            name->GetItem("fresh");
            album->GetItem(4);
            result << QString::number(name->HasItem("fresh").IsNull()) << QString::number(name->HasItem("2").IsNull())
                   << QString::number(album->HasItem(4).IsNull()) << QString::number(album->HasItem(1).IsNull())
                   << QString::number(album->GetItemCount());
            m_fixture.End();
            m_fixture.Begin();
            return result;
        };
        const QStringList heard = run(true);
        QCOMPARE(run(false), heard);
        QCOMPARE(heard.first(), QStringLiteral("140"));
    }

    // A large batch's items are gone from the store at once, but their memory comes back in slices
    // while the event loop runs; a held handle keeps its item as before; a store closed meanwhile
    // frees the rest.
    void batchRemovalFreesAtIdleTime()
    {
        Type *share = NewValued("share", Primary), *folder = NewNull("folder"), *file = NewNull("file");
        share->RelateToType(folder, One, Many);
        folder->RelateToType(file, One, Many);
        constexpr std::size_t kFiles = 100000;
        const auto fill = [&] {
            ItemPtr f = share->GetItem("s").NewItem("folder");
            for (std::size_t k = 0; k < kFiles; ++k)
                f.NewItem("file");
            return ItemSet{f};
        };
        const ItemSet folders = fill();
        const ItemPtr held = folders.First().GetItems("file").First();
        folders.RemoveItemsNewestFirst("file");
        QCOMPARE(file->GetItemCount(), std::size_t(0));
        QVERIFY(held.IsNull() && folders.First().CountItems("file") == 0);
        QCOMPARE(d->GetUnfreedCount(), kFiles - 1);
        QCoreApplication::processEvents();
        QVERIFY(d->GetUnfreedCount() < kFiles - 1);
        QTRY_COMPARE(d->GetUnfreedCount(), std::size_t(0));
        QVERIFY(held.IsNull());

        share->GetItem("t").NewItem("folder").Remove(); // one at a time: freed there and then
        QCOMPARE(d->GetUnfreedCount(), std::size_t(0));
        fill().RemoveItemsNewestFirst("file");
        QCOMPARE(d->GetUnfreedCount(), kFiles);
    }

    // A removal left for idle time is heard as one by one, in the batch's order, and then collects
    // what it left unreached; an item that takes a removed one's id meanwhile stays; a second
    // batch first ends the one waiting.
    void removalAtIdleTime()
    {
        Type *share = NewValued("share", Primary), *folder = NewNull("folder"), *file = NewValued("file"),
             *size = d->NewType("size", Tertiary, false, true);
        share->RelateToType(folder, One, Many);
        folder->RelateToType(file, One, Many);
        file->RelateToType(size, Many, One);
        const auto fill = [&](const char* i_share, std::initializer_list<const char*> i_files) {
            ItemPtr f = share->GetItem(i_share).NewItem("folder");
            for (const char* name : i_files)
                f.Connect(file->GetItem(name)).Connect(size->GetItem(name));
            return ItemSet{f};
        };
        const ItemSet folders = fill("s", {"a", "b", "c"});
        RemovalBatch batch;
        batch.AddItemsNewestFirst(folders, "file");
        batch.AddNewestFirst(folders);
        batch.Add(share->HasItem("s"));
        Recorder recorder;
        d->m_itemRemoved.insert(On(&recorder, &Recorder::Removed));
        d->RemoveLater(std::move(batch));
        QVERIFY(d->HasRemovalsPending());
        QCOMPARE(file->GetItemCount(), std::size_t(3));

        file->HasItem("b").Remove();
        ItemPtr fresh = fill("t", {"fresh"}).First()["file"]; // takes b's id
        recorder.log.clear();
        QTRY_VERIFY(!d->HasRemovalsPending());
        QCOMPARE(recorder.log,
                 QStringList({"removed c links=1", "removed a links=1", "removed  links=1", "removed s links=0",
                              "removed c links=0", "removed b links=0", "removed a links=0"}));
        QVERIFY(fresh && fresh["folder"] && fresh["size"]);
        QCOMPARE(size->GetItemCount(), std::size_t(1));

        RemovalBatch first;
        first.Add(fresh);
        RemovalBatch second;
        second.Add(share->HasItem("t"));
        d->RemoveLater(std::move(first));
        d->RemoveLater(std::move(second));
        QVERIFY(fresh.IsNull() && size->GetItems().empty());
        QVERIFY(share->HasItem("t") && d->HasRemovalsPending());
        QTRY_VERIFY(!share->HasItem("t"));
    }

    // A large batch goes in slices with the event loop running between them; what a slice leaves
    // without links goes with it when nobody can hear it; a store closed with a batch waiting
    // drops it.
    void largeRemovalInSlices()
    {
        Type *share = NewValued("share", Primary), *folder = NewNull("folder"), *file = NewNull("file"),
             *size = d->NewType("size", Tertiary, false, true);
        share->RelateToType(folder, One, Many);
        folder->RelateToType(file, One, Many);
        file->RelateToType(size, Many, One);
        constexpr std::size_t kFiles = 300000;
        const auto fill = [&](const char* i_share) {
            ItemPtr f = share->GetItem(i_share).NewItem("folder");
            for (std::size_t k = 0; k < kFiles; ++k)
                f.NewItem("file").Connect(size->GetItem(Value(static_cast<unsigned long long>(k))));
            RemovalBatch batch;
            batch.AddItemsNewestFirst(ItemSet{f}, "file");
            return batch;
        };
        ItemPtr kept = share->GetItem("kept").NewItem("folder").NewItem("file");
        kept.Connect(size->GetItem(Value(0ULL)));
        d->RemoveLater(fill("s"));
        QCOMPARE(file->GetItemCount(), kFiles + 1);
        QCoreApplication::processEvents();
        QVERIFY(file->GetItemCount() > 1 && file->GetItemCount() < kFiles);
        QCOMPARE(size->GetItemCount(), file->GetItemCount() - 1);
        QTRY_VERIFY(!d->HasRemovalsPending());
        QVERIFY(kept && kept["size"]);
        QCOMPARE(file->GetItemCount(), std::size_t(1));
        QCOMPARE(size->GetItemCount(), std::size_t(1));
        d->RemoveLater(fill("t"));
    }

    // The collector removes newest first across types and skips what a handler took meanwhile.
    void collectorRemovesNewestFirst()
    {
        Type *x = NewValued("x"), *y = NewValued("y"), *z = d->NewType("z", Tertiary, false, true);
        for (const auto& [type, value] : {std::pair{x, "x1"}, {y, "y1"}, {z, "z1"}, {x, "x2"}, {y, "y2"}})
            type->GetItem(value);
        Recorder removed;
        d->m_itemRemoved.insert(On(&removed, &Recorder::Removed));
        ItemPtr fresh;
        removed.onRemoved = [&](ItemPtr i_item) {
            if (i_item.AsString() == "x2")
            {
                y->HasItem("y1").Remove();
                fresh = y->GetItem("fresh"); // may take y1's slot; not one of this round's items
            }
        };
        QCOMPARE(d->RemoveDisconnectedItems(), 4);
        QCOMPARE(removed.log, QStringList({"removed y2 links=0", "removed x2 links=0", "removed y1 links=0",
                                           "removed z1 links=0", "removed x1 links=0"}));
        QVERIFY(!fresh.IsNull());
        QCOMPARE(d->RemoveDisconnectedItems(), 1);
        QVERIFY(fresh.IsNull());
    }

    void collectorTertiaryAndOwnership()
    {
        Type *root = NewValued("root", Primary), *middle = NewValued("middle");
        Type* leaf = d->NewType("leaf", Tertiary, false, true);
        root->RelateToType(middle, Many, Many);
        middle->RelateToType(leaf, Many, Many);
        leaf->RelateToType(leaf, Many, Many);
        ItemPtr r = root->GetItem("r");
        ItemPtr m = middle->GetItem("m");
        r += m;
        ItemPtr near = leaf->GetItem("near");
        ItemPtr far = leaf->GetItem("far");
        m += near;
        near += far;
        leaf->GetItem("loose");
        QCOMPARE(d->RemoveDisconnectedItems(), 2);
        QVERIFY(!near.IsNull());
        QVERIFY(far.IsNull());

        // Ownership beats reachability: the nodes still hang on a Primary user.
        Type *widget = NewValued("search_results_widget", Primary), *userNode = NewValued("search_results_user_node");
        Type *folderNode = NewValued("search_results_folder_node"), *user = NewValued("user", Primary);
        widget->RelateToType(userNode, One, Many, true);
        userNode->RelateToType(folderNode, One, Many, true);
        userNode->RelateToType(user, Many, One);
        ItemPtr w = widget->GetItem("w");
        ItemPtr un = userNode->GetItem("un");
        ItemPtr fn = folderNode->GetItem("fn");
        w += un;
        un += fn;
        un += user->GetItem("bob");
        QCOMPARE(d->RemoveDisconnectedItems(), 0);
        w.Remove();
        QCOMPARE(d->RemoveDisconnectedItems(), 2);
        QVERIFY(un.IsNull());
        QVERIFY(fn.IsNull());
        QVERIFY(!user->HasItem("bob").IsNull());

        // Emptying the whole store tells of every item and leaves no link behind.
        Recorder removed;
        d->m_itemRemoved.insert(On(&removed, &Recorder::Removed));
        const std::size_t items = d->GetItemCount();
        QVERIFY(items > 0 && d->GetLinkCount() > 0);
        d->RemoveAllItems();
        QCOMPARE(std::size_t(removed.log.size()), items);
        QCOMPARE(d->GetItemCount(), std::size_t(0));
        QCOMPARE(d->GetLinkCount(), std::size_t(0));
    }

    void queries()
    {
        Type *file = NewValued("shared_file"), *size = NewValued("file_size");
        Type* word = d->NewType("search_token", Tertiary, false, true);
        file->RelateToType(word, Many, Many);
        file->RelateToType(size, Many, One);
        const char* names[] = {"a b c", "a b", "b c", "a c", "c", "A"};
        for (const char* n : names)
        {
            ItemPtr f = file->GetItem(n);
            for (const QString& w : QString::fromLatin1(n).split(QLatin1Char(' ')))
                f += word->GetItem(w);
        }
        auto words = [&](std::initializer_list<const char*> i_words) {
            ItemSet set;
            for (const char* w : i_words)
                set.insert(word->HasItem(w));
            return set;
        };
        auto values = [](const auto& i_items) {
            QStringList out;
            for (const ItemPtr& item : i_items)
                out << item.AsString();
            return out;
        };
        QCOMPARE(values(d->GetItemSubset(words({"a", "b", "c"}), "shared_file")), QStringList({"a b c"}));
        QCOMPARE(values(d->GetItemSubset(words({"c", "a"}), "shared_file")), QStringList({"a b c", "a c"}));
        QCOMPARE(values(d->GetItemSubset(words({"c"}), "shared_file")), QStringList({"a b c", "b c", "a c", "c"}));
        QVERIFY(d->GetItemSubset(ItemSet(), "shared_file").empty());
        ItemPtr lonely = word->GetItem("lonely");
        QVERIFY(d->GetItemSubset(ItemSet{word->HasItem("a"), lonely}, "shared_file").empty());
        QCOMPARE(d->GetItem(word->HasItem("a"), word->HasItem("b"), "shared_file").AsString(), QStringLiteral("a b c"));
        QVERIFY(d->GetItem(word->HasItem("a"), lonely, "shared_file").IsNull());
        QCOMPARE(values(d->GetItems(word->HasItem("b"), word->HasItem("c"), "shared_file")),
                 QStringList({"a b c", "b c"}));

        ItemSet all = file->GetItems();
        file->HasItem("a b c") += size->GetItem("30");
        file->HasItem("b c") += size->GetItem("-5");
        file->HasItem("c") += size->GetItem("100");
        QCOMPARE(values(all.SortNumericBy("file_size", true)), QStringList({"b c", "a b c", "c"}));
        QCOMPARE(values(all.SortNumericBy("file_size", false)), QStringList({"c", "a b c", "b c"}));
        QCOMPARE(values(all.SortAlphabetic(true)), QStringList({"A", "a b", "a b c", "a c", "b c", "c"}));
        QCOMPARE(values(all.SortAlphabetic(false)).first(), QStringLiteral("c"));
        QCOMPARE(values(all.SortAlphabeticBy("file_size", true)), QStringList({"b c", "c", "a b c"}));

        QCOMPARE(values(all.Connected("search_token", "a")), QStringList({"a b c", "a b", "a c"}));
        QCOMPARE(all.NotConnected("search_token", "nothing").size(), all.size());
        QCOMPARE(values(all.NotConnected("file_size")), QStringList({"a b", "a c", "A"}));
        QCOMPARE(values(all.Connected(word->HasItem("A"))), QStringList({"A"}));
        QCOMPARE(all.NotConnected(ItemPtr()).size(), all.size());
        QCOMPARE(values(all.Connected(words({"A", "b"}))), QStringList({"a b c", "a b", "b c", "A"}));
        QCOMPARE(values(words({"a", "b"}).GetItems("shared_file")), QStringList({"a b c", "a b", "b c", "a c"}));
        ItemSet common = words({"a"}).GetItems("shared_file").Common(words({"b"}).GetItems("shared_file"));
        QCOMPARE(values(common), QStringList({"a b c", "a b"}));
        QCOMPARE(ItemPtr(all).AsString(), QStringLiteral("a b c"));
        QCOMPARE(file->HasItem("a b c")["search_token"].AsString(), QStringLiteral("a")); // the oldest
        QCOMPARE(values(i("search_token", "c")), QStringList({"c"}));
        QVERIFY(i("search_token", "zzz").empty());

        // A copy of the type's items stays safe while they go.
        ItemSet copy = file->GetItems();
        for (ItemPtr item : copy)
            item.Remove();
        QCOMPARE(file->GetItemCount(), std::size_t(0));
        QVERIFY(copy.First().IsNull());
    }

    void values_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<int>("asInt");
        QTest::addColumn<uint>("asUInt");
        QTest::addColumn<qint64>("asInt64");
        QTest::addColumn<quint64>("asUInt64");
        QTest::newRow("small") << QByteArray("42") << 42 << 42u << qint64(42) << quint64(42);
        QTest::newRow("negative") << QByteArray("-7") << -7 << 0u << qint64(-7) << quint64(0);
        QTest::newRow("64-bit") << QByteArray("9000000000") << 0 << 0u << qint64(9000000000LL)
                                << quint64(9000000000ULL);
        QTest::newRow("max-u64") << QByteArray("18446744073709551615") << 0 << 0u << qint64(0)
                                 << quint64(18446744073709551615ULL);
        QTest::newRow("not-a-number") << QByteArray("12abc") << 0 << 0u << qint64(0) << quint64(0);
        QTest::newRow("blank") << QByteArray(" 12") << 0 << 0u << qint64(0) << quint64(0);
        QTest::newRow("empty") << QByteArray("") << 0 << 0u << qint64(0) << quint64(0);
    }
    void values()
    {
        QFETCH(QByteArray, stored);
        Type* number = NewValued("number", Primary);
        ItemPtr item = number->GetItem(Value(stored));
        QTEST(item.AsInt(), "asInt");
        QTEST(item.AsUInt(), "asUInt");
        QTEST(item.AsInt64(), "asInt64");
        QTEST(item.AsUInt64(), "asUInt64");
    }

    void valueForms()
    {
        Type* t = NewValued("thing", Primary);
        int object = 0;
        ItemPtr pointer = t->GetItem(&object);
        QCOMPARE(pointer.AsPointer<int>(), &object);
        QCOMPARE(pointer.AsStdString(), std::to_string(reinterpret_cast<std::uintptr_t>(&object)));
        QCOMPARE(t->GetItem(qint64(-9000000000LL)).AsInt64(), qint64(-9000000000LL));
        QCOMPARE(t->GetItem(QStringLiteral("Grüße")).AsStdString(), std::string("Gr\xC3\xBC\xC3\x9F"
                                                                                "e"));
        const std::string withNul("a\0b", 3);
        ItemPtr nul = t->GetItem(withNul);
        QVERIFY(t->HasItem(std::string("a")).IsNull());
        QCOMPARE(t->HasItem(withNul), nul);
        // Bytes that are not UTF-8 go through the chosen code page, Latin-1 by default.
        ItemPtr latin = t->GetItem(std::string("caf\xE9"));
        QCOMPARE(latin.AsString(), QStringLiteral("caf\u00E9"));
        Data::SetTextDecoder([](const std::string&) { return QStringLiteral("decoded"); });
        QCOMPARE(latin.AsString(), QStringLiteral("decoded"));
        Data::SetTextDecoder(nullptr);
    }

    void settings()
    {
        DeclareSettingTypes();
        DeclareSettingTypes(); // a second call changes nothing
        QCOMPARE(GetSetting("use_upnp"), QString());
        QVERIFY(!HasSetting("use_upnp"));
        QVERIFY(d->GetType("global")->HasItem("use_upnp").IsNull()); // reading creates nothing
        SetDefaultSetting("use_upnp", "yes");
        SetDefaultSetting("use_upnp", "no");
        QVERIFY(IsSettingOn("use_upnp"));
        SetSetting("minimize_to_tray", "yes");
        QCOMPARE(GetSettingItem("minimize_to_tray")["global_value"], GetSettingItem("use_upnp")["global_value"]);
        SetSetting("use_upnp", "Yes");
        QVERIFY(!IsSettingOn("use_upnp"));
        SetSettingOn("use_upnp", false);
        QCOMPARE(GetSetting("use_upnp"), QStringLiteral("no"));
        ClearSetting("use_upnp");
        QVERIFY(!HasSetting("use_upnp"));
        QVERIFY(!IsSettingOn("use_upnp"));
        SetSettingNumber("privileges_time_left", 5000000000LL);
        QCOMPARE(GetSettingNumber("privileges_time_left"), 5000000000LL);
        SetSetting("listening_port", "junk");
        QCOMPARE(GetSettingNumber("listening_port"), qint64(0));
        QCOMPARE(GetSettingNumber("never_set"), qint64(0));
        SetVolatileSetting("logged_in", "yes");
        QVERIFY(IsVolatileSettingOn("logged_in"));
        QVERIFY(!IsSettingOn("logged_in"));
        ClearVolatileSetting("logged_in");
        QCOMPARE(GetVolatileSetting("logged_in"), QString());
        // Value items no key uses any more ("Yes", "no") are collected; the shared "yes" stays.
        QCOMPARE(d->RemoveDisconnectedItems(), 2);
        QCOMPARE(GetSetting("minimize_to_tray"), QStringLiteral("yes"));
    }
};

QTEST_GUILESS_MAIN(TestDataModel)
#include "test_data_model.moc"
