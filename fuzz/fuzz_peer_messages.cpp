// Every peer message reader, through the peer network's own reader of a "P" connection. The
// first byte picks the message code; the rest is the body, which the harness compresses for the
// codes that come compressed, so that the readers behind inflation are reached. The last choice
// passes the rest as the whole message, code and compressed body included.

#include "Compression.h"
#include "Data.h"
#include "DataSaver.h"
#include "FolderLists.h"
#include "FuzzTarget.h"
#include "PeerMessages.h"
#include "PeerMessenger.h"
#include "PeerOnlyEngine.h"
#include "SharedFolderInfo.h"
#include "TimerManager.h"

#include <iterator>
#include <map>

namespace
{
constexpr quint32 kCodes[] = {4, 5, 9, 15, 16, 36, 37, 40, 41, 43, 44, 46, 50, 51, 60};
constexpr quint32 kSearchToken = 77;

bool IsCompressed(quint32 i_code)
{
    return i_code == 5 || i_code == 9 || i_code == 37;
}

void StartEngine()
{
    if (peerMessenger)
        return;
    StartPeerOnlyEngine();
}

QByteArray Seed(quint32 i_code, const MemStream& i_message)
{
    const auto selector = std::find(std::begin(kCodes), std::end(kCodes), i_code) - std::begin(kCodes);
    return QByteArray(1, char(selector)) + i_message.ToByteArray().mid(4);
}

// A search reply body as a peer writes it.
MemStream SearchReplyBody(quint32 i_files)
{
    MemStream body;
    OutputStream out(body);
    out.WriteFields(std::string("someone"), kSearchToken, i_files);
    for (quint32 n = 0; n < i_files; ++n)
    {
        FileInfo file("music\\album\\" + std::to_string(n) + " song.mp3", 4000000 + n);
        file.m_attributes.m_extension = "mp3";
        file.m_attributes.Add(AttributeBitrate, 192);
        file.m_attributes.Add(AttributeLength, 240);
        out.Write(file);
    }
    out.WriteFields(quint8(1), quint32(2560), quint32(3), quint32(0));
    return body;
}
} // namespace

void FuzzSeeds(std::vector<QByteArray>& o_seeds)
{
    using namespace PeerMessages;
    o_seeds.push_back(Seed(4, BuildGetSharedFileList()));
    o_seeds.push_back(Seed(15, BuildUserInfoRequest()));
    o_seeds.push_back(
        Seed(16, BuildUserInfoReply(QStringLiteral("about me"), true, QByteArray("\x89PNG\r\n", 6), 2, 1, true)));
    o_seeds.push_back(Seed(16, BuildUserInfoReply(QString(), false, QByteArray(), 0, 0, false)));
    o_seeds.push_back(Seed(36, BuildGetSharedFilesInFolder(5, QStringLiteral("music\\album"))));
    o_seeds.push_back(Seed(40, BuildTransferRequest(1, 9, QStringLiteral("music\\a.mp3"), 1234)));
    o_seeds.push_back(Seed(40, BuildTransferRequest(0, 9, QStringLiteral("..\\..\\etc/passwd"), 1)));
    o_seeds.push_back(Seed(41, BuildTransferAccept(9, true, 1234)));
    o_seeds.push_back(Seed(41, BuildTransferDeny(9, QStringLiteral("Queued"))));
    o_seeds.push_back(Seed(43, BuildQueueUpload("music\\a.mp3")));
    o_seeds.push_back(Seed(44, BuildUploadPlaceInLine(QStringLiteral("music\\a.mp3"), 3)));
    o_seeds.push_back(Seed(46, BuildUploadFailed("music\\a.mp3")));
    o_seeds.push_back(Seed(50, BuildUploadDenied(QStringLiteral("/abs/a.mp3"), QStringLiteral("Banned"))));
    o_seeds.push_back(Seed(51, BuildUploadPlaceInLineRequest(QStringLiteral("music\\a.mp3"))));
    o_seeds.push_back(Seed(60, BuildUploadOffer(QStringLiteral("music\\b.mp3"), 99)));
    const auto selector = [](quint32 i_code) {
        return char(std::find(std::begin(kCodes), std::end(kCodes), i_code) - std::begin(kCodes));
    };
    o_seeds.push_back(QByteArray(1, selector(5)) + FolderListBody(3, 4, ListRecords::Named).ToByteArray());
    o_seeds.push_back(QByteArray(1, selector(5)) + FolderListBody(2, 3, ListRecords::Bare).ToByteArray());
    o_seeds.push_back(QByteArray(1, selector(37)) + FolderListBody(2, 3, ListRecords::Named, true).ToByteArray());
    o_seeds.push_back(QByteArray(1, selector(9)) + SearchReplyBody(3).ToByteArray());
    // Whole messages: a real compressed list, and a body that inflates far.
    MemStream list;
    OutputStream(list).Write(quint32(5));
    CompressBody(FolderListBody(2, 2, ListRecords::Named), list);
    o_seeds.push_back(QByteArray(1, char(std::size(kCodes))) + list.ToByteArray());
    MemStream bomb;
    OutputStream(bomb).Write(quint32(9));
    const QByteArray zeros(4 << 20, '\0');
    CompressBody(zeros.constData(), size_t(zeros.size()), bomb);
    o_seeds.push_back(QByteArray(1, char(std::size(kCodes))) + bomb.ToByteArray());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* ip_data, size_t i_size)
{
    if (i_size == 0)
        return 0;
    FuzzEnvironment();
    StartEngine();
    const QByteArray input = FuzzBytes(ip_data + 1, i_size - 1);
    QByteArray payload;
    const size_t choice = ip_data[0] % (std::size(kCodes) + 1);
    if (choice == std::size(kCodes))
        payload = input;
    else
    {
        const quint32 code = kCodes[choice];
        MemStream message;
        OutputStream(message).Write(code);
        if (IsCompressed(code))
            CompressBody(input.constData(), size_t(input.size()), message);
        else
            message.WriteBuffer(input.constData(), size_t(input.size()));
        payload = message.ToByteArray();
        if (code == 37)
        {
            // No message reader takes folder contents; a browsing client reads their body so.
            MemStream body(input.constData(), size_t(input.size()));
            std::map<std::string, SharedFolderInfo> folders;
            InputStream(body).Read(folders);
        }
    }
    ItemPtr request = d->GetType("search_request")->GetItem(Value(kSearchToken));
    peerMessenger->ReadMessage(QStringLiteral("fuzzer"), payload);
    // What a reply built goes, so that memory stays that of one input.
    if (!request.GetItems("search_results").empty())
    {
        request.GetItems("search_results").Remove();
        d->RemoveDisconnectedItems();
    }
    return 0;
}
