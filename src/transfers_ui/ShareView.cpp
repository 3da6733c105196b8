#include "ShareView.h"

#include "ActionSetToolBar.h"
#include "FilterHelpDialog.h"
#include "FilterParser.h"
#include "FocusHelpers.h"
#include "PeerSchema.h"
#include "ServerSchema.h"
#include "SharedFoldersManager.h"
#include "SharesSchema.h"
#include "ShellSchema.h"
#include "SizeManager.h"
#include "TextUtils.h"
#include "TransfersUiSchema.h"

#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace
{
ItemPtr NodeOfRow(const char* i_nodeType, QTreeWidgetItem* ip_row)
{
    return ip_row ? d->GetType(i_nodeType)->HasItem(Value(ip_row)) : ItemPtr();
}

// Ties a new row to its item.
ItemPtr LinkRow(Type* ip_nodeType, QTreeWidgetItem* ip_row, const ItemPtr& i_item)
{
    ItemPtr node = ip_nodeType->GetItem(Value(ip_row));
    node.Connect(i_item);
    return node;
}

void RemoveNodes(std::vector<ItemPtr>& io_nodes)
{
    for (ItemPtr& node : io_nodes)
        if (node)
            node.Remove();
    io_nodes.clear();
}

// Ends each name in the cache of folded names: no UTF-8 text holds it, so no word matches
// across two names, whatever bytes a name holds.
constexpr char kNameEnd = '\xff';

bool IsAscii(std::string_view i_bytes)
{
    for (const char c : i_bytes)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

// Appends the text folded as QString::contains folds it when it ignores case, one UTF-16 unit at
// a time, in UTF-8. False for a text with a surrogate, whose folding depends on its neighbour.
bool AppendFolded(const QString& i_text, std::string& io_folded)
{
    QString folded = i_text;
    for (QChar& c : folded)
    {
        if (c.isSurrogate())
            return false;
        c = c.toCaseFolded();
    }
    const QByteArray bytes = folded.toUtf8();
    io_folded.append(bytes.constData(), size_t(bytes.size()));
    return true;
}

// The same for a name's bytes; ASCII ones, most of a share, fold without being decoded.
bool AppendFoldedName(const ItemPtr& i_name, std::string& io_folded)
{
    const std::string_view bytes = i_name.AsBytes();
    if (!IsAscii(bytes))
        return AppendFolded(i_name.AsString(), io_folded);
    for (const char c : bytes)
        io_folded += c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
    return true;
}

// A parser's words folded as names are, when no word has a surrogate and no token asks for a
// file's attributes: a folded name then matches as the parser would match the name itself.
class FoldedWords
{
public:
    explicit FoldedWords(const FilterParser& i_parser)
        : m_usable(!i_parser.HasAttributes())
    {
        const auto take = [this](const QStringList& i_words, std::vector<std::string>& o_words) {
            for (const QString& word : i_words)
            {
                o_words.emplace_back();
                m_usable = m_usable && AppendFolded(word, o_words.back());
            }
        };
        take(i_parser.IncludedWords(), m_included);
        take(i_parser.ExcludedWords(), m_excluded);
    }

    bool IsUsable() const { return m_usable; }

    // How many of the folded names, each ended by kNameEnd, match; counted up to i_needed. With a
    // word to include, only the names holding the longest one are looked at: one search of the
    // folder's text finds them, and a word cannot span two names.
    int CountMatching(std::string_view i_names, int i_needed) const
    {
        const std::string* key = nullptr;
        for (const std::string& word : m_included)
            if (!key || word.size() > key->size())
                key = &word;
        int found = 0;
        for (size_t start = 0; start < i_names.size() && found < i_needed;)
        {
            size_t begin = start;
            if (key && !key->empty())
            {
                const size_t hit = i_names.find(*key, start);
                if (hit == std::string_view::npos)
                    break;
                const size_t before = i_names.rfind(kNameEnd, hit);
                begin = before == std::string_view::npos || before < start ? start : before + 1;
            }
            const size_t end = i_names.find(kNameEnd, begin);
            if (MatchesFolded(i_names.substr(begin, end - begin)))
                ++found;
            start = end + 1;
        }
        return found;
    }

    // For a name already folded.
    bool MatchesFolded(std::string_view i_folded) const
    {
        for (const std::string& word : m_excluded)
            if (i_folded.find(word) != std::string_view::npos)
                return false;
        for (const std::string& word : m_included)
            if (i_folded.find(word) == std::string_view::npos)
                return false;
        return true;
    }

    // Matching, not matching, or -1 when the parser must decide.
    int Matches(const ItemPtr& i_name)
    {
        if (!m_usable)
            return -1;
        m_folded.clear();
        if (!AppendFoldedName(i_name, m_folded))
            return -1;
        return MatchesFolded(m_folded) ? 1 : 0;
    }

private:
    bool m_usable;
    std::vector<std::string> m_included;
    std::vector<std::string> m_excluded;
    std::string m_folded;
};

bool IsShownWithAncestors(QTreeWidgetItem* ip_row)
{
    for (; ip_row; ip_row = ip_row->parent())
        if (ip_row->isHidden())
            return false;
    return true;
}
} // namespace

ShareView::ShareView(QWidget* ip_parent)
    : QWidget(ip_parent)
{
}

void ShareView::SetUpWidgets(QTreeWidget* ip_folderTree, QTreeWidget* ip_fileList, QLineEdit* ip_filterEdit,
                             QPushButton* ip_filterHelpButton, const char* i_tabType, const QString& i_user)
{
    mp_folderTree = ip_folderTree;
    mp_fileList = ip_fileList;
    mp_filterEdit = ip_filterEdit;
    mp_filterHelpButton = ip_filterHelpButton;
    mp_tabType = i_tabType;
    d->GetType(i_tabType)->GetItem(Value(this)).Connect(d->GetType(types::kUser)->GetItem(Value(i_user)));

    mp_fileList->setSortingEnabled(true);
    mp_fileList->sortByColumn(0, Qt::AscendingOrder);
    mp_folderTree->setHeaderLabels({QStringLiteral("Folder")});
    mp_fileList->setHeaderLabels({QStringLiteral("File"), QStringLiteral("Size"), QStringLiteral("Attributes")});
    mp_fileList->setColumnWidth(0, 200);
    // Wide enough for a size of hundreds of megabytes.
    mp_fileList->setColumnWidth(1, 90);
    mp_fileList->header()->setStretchLastSection(true);
    ShowLists(false);
    RegisterWidgetForTabFocus(mp_folderTree, 1);
    if (sizeManager)
        sizeManager->RegisterTreeWidget(QStringLiteral("share_file_list"), mp_fileList);

    connect(mp_folderTree, &QTreeWidget::currentItemChanged, this, &ShareView::OnCurrentItemChanged);
    connect(mp_filterEdit, &QLineEdit::textChanged, this, &ShareView::OnFilterTextChanged);
    connect(mp_filterHelpButton, &QPushButton::clicked, this, &ShareView::OnFilterHelpClicked);
}

void ShareView::ForgetTab()
{
    if (ItemPtr tab = d->GetType(mp_tabType)->HasItem(Value(this)))
        tab.Remove();
}

void ShareView::ShowLists(bool i_shown)
{
    for (QWidget* widget : {static_cast<QWidget*>(mp_folderTree), static_cast<QWidget*>(mp_fileList),
                            static_cast<QWidget*>(mp_filterEdit), static_cast<QWidget*>(mp_filterHelpButton)})
        widget->setVisible(i_shown);
}

ItemPtr ShareView::FolderOfRow(QTreeWidgetItem* ip_row)
{
    return NodeOfRow(types::kUserShareFolderNode, ip_row)[types::kUserShareFolder];
}

ItemPtr ShareView::FileOfRow(QTreeWidgetItem* ip_row)
{
    return NodeOfRow(types::kUserShareFileNode, ip_row)[types::kUserShareFile];
}

QTreeWidgetItem* ShareView::RowOfFile(const ItemPtr& i_file)
{
    return i_file[types::kUserShareFileNode].AsPointer<QTreeWidgetItem>();
}

ItemSet ShareView::SubFolders(const ItemPtr& i_folder)
{
    return i_folder.GetItems(types::kUserShareFolderChild)
        .GetItems(types::kUserShareFolderParent)
        .GetItems(types::kUserShareFolder);
}

void ShareView::ClearFileList()
{
    mp_fileList->clear();
    RemoveNodes(m_fileNodes);
}

void ShareView::ClearRows()
{
    ClearFileList();
    mp_folderTree->clear();
    RemoveNodes(m_folderNodes);
    m_foldedFileNames.clear();
    m_maxDepth = 0;
    m_expandLevel = 0;
}

void ShareView::BuildFolderTree(const ItemSet& i_folders)
{
    ClearRows();
    SetExpandLevelText(QStringLiteral("Expand Level"));

    // By the bytes of their paths, so that a parent's row exists before its children's; of two
    // folders with one path the later one wins.
    Type* nameType = d->GetType(types::kUserShareFolderName);
    std::map<std::string, ItemPtr> byPath;
    for (const ItemPtr& folder : i_folders)
        byPath[folder[nameType].AsStdString()] = folder;

    Type* nodeType = d->GetType(types::kUserShareFolderNode);
    struct Placed
    {
        QTreeWidgetItem* row;
        int depth;
    };
    std::unordered_map<std::string, Placed> rows;
    rows.reserve(byPath.size());
    m_folderNodes.reserve(byPath.size());
    QList<QTreeWidgetItem*> topLevel;
    for (const auto& [path, folder] : byPath)
    {
        auto* row = new QTreeWidgetItem;
        row->setText(0, ToQString(GetFileName(path)));
        const std::string parent = GetParentFolder(path);
        const auto above = parent == path ? rows.end() : rows.find(parent);
        int depth = 0;
        if (above == rows.end())
            topLevel << row;
        else
        {
            above->second.row->addChild(row);
            depth = above->second.depth + 1;
            m_maxDepth = std::max(m_maxDepth, depth);
        }
        rows[path] = {row, depth};
        m_folderNodes.push_back(LinkRow(nodeType, row, folder));
        KeepFoldedFileNames(row, folder);
    }

    mp_folderTree->setUpdatesEnabled(false);
    mp_folderTree->addTopLevelItems(topLevel);
    if (IsSettingOn(settings::kExpandNewShares))
        mp_folderTree->expandAll();
    mp_folderTree->setUpdatesEnabled(true);
}

void ShareView::KeepFoldedFileNames(const QTreeWidgetItem* ip_row, const ItemPtr& i_folder)
{
    Type* nameType = d->GetType(types::kUserShareFileName);
    FoldedNames& names = m_foldedFileNames[ip_row];
    for (const ItemPtr& file : i_folder.GetItems(types::kUserShareFile))
    {
        if (!AppendFoldedName(file[nameType], names.text))
        {
            names.usable = false;
            names.text.clear();
            names.text.shrink_to_fit();
            return;
        }
        names.text += kNameEnd;
    }
}

void ShareView::SetExpandLevelText(const QString& i_text)
{
    if (actionBar)
        actionBar->SetWidgetActionText(mp_folderTree, QStringLiteral("expand_level"), i_text);
}

void ShareView::ExpandLevel()
{
    if (m_expandLevel >= m_maxDepth)
        return;
    mp_folderTree->expandToDepth(m_expandLevel);
    ++m_expandLevel;
    SetExpandLevelText(QStringLiteral("Expand Level [%1]").arg(m_expandLevel));
}

void ShareView::ExpandAll()
{
    mp_folderTree->expandAll();
    m_expandLevel = 0;
    SetExpandLevelText(QStringLiteral("Expand Level"));
}

void ShareView::CollapseAll()
{
    mp_folderTree->collapseAll();
    m_expandLevel = 0;
    SetExpandLevelText(QStringLiteral("Expand Level"));
}

bool ShareView::HasEnoughMatchingFiles(QTreeWidgetItem* ip_row, const FilterParser& i_parser) const
{
    int needed = std::max(i_parser.MinFilesInFolder(), 1);
    FoldedWords words(i_parser);
    if (words.IsUsable())
    {
        const auto names = m_foldedFileNames.find(ip_row);
        if (names != m_foldedFileNames.end() && names->second.usable)
        {
            return words.CountMatching(names->second.text, needed) >= needed;
        }
    }
    Type* nameType = d->GetType(types::kUserShareFileName);
    for (const ItemPtr& file : FolderOfRow(ip_row).GetItems(types::kUserShareFile))
    {
        const ItemPtr name = file[nameType];
        int matching = words.Matches(name);
        if (matching < 0)
            matching = i_parser.IsMatching(name.AsString(), nullptr, file) == FilterParser::Matching;
        if (matching && --needed == 0)
            return true;
    }
    return false;
}

bool ShareView::FilterFolderNode(QTreeWidgetItem* ip_row, FilterParser& i_parser)
{
    // Walked with a stack of its own: the depth of a tree is the sender's to choose.
    struct Frame
    {
        QTreeWidgetItem* row;
        FilterParser remainder; // what the row's name left for the files and rows below it
        bool shown;
        int nextChild;
        // The children's states, set only when this row shows: below a hidden row they cannot
        // be seen, and hiding rows one by one costs more than matching them.
        std::vector<std::pair<QTreeWidgetItem*, bool>> children;
    };
    std::vector<Frame> stack;
    const auto enter = [this, &stack](QTreeWidgetItem* ip_entered, const FilterParser& i_above) {
        FilterParser remainder;
        const int answer = i_above.IsMatching(ip_entered->text(0), &remainder, ItemPtr());
        if (answer == FilterParser::Rejected)
        {
            // An excluded word in a name hides everything below it unvisited.
            if (stack.empty())
                ip_entered->setHidden(true);
            else
                stack.back().children.emplace_back(ip_entered, false);
            return false;
        }
        bool shown =
            answer == FilterParser::Matching && !remainder.HasAttributes() && remainder.MinFilesInFolder() == 0;
        if (!shown)
            shown = HasEnoughMatchingFiles(ip_entered, remainder);
        stack.push_back({ip_entered, std::move(remainder), shown, 0, {}});
        return true;
    };

    if (!enter(ip_row, i_parser))
        return false;
    bool shown = false;
    while (!stack.empty())
    {
        Frame& top = stack.back();
        if (top.nextChild < top.row->childCount())
        {
            QTreeWidgetItem* child = top.row->child(top.nextChild++);
            enter(child, top.remainder);
            continue;
        }
        shown = top.shown;
        if (shown)
            for (const auto& [child, childShown] : top.children)
                if (child->isHidden() == childShown)
                    child->setHidden(!childShown);
        QTreeWidgetItem* row = top.row;
        stack.pop_back();
        if (stack.empty())
        {
            if (row->treeWidget() && row->isHidden() == shown)
                row->setHidden(!shown);
        }
        else
        {
            stack.back().shown = stack.back().shown || shown;
            stack.back().children.emplace_back(row, shown);
        }
    }
    return shown;
}

void ShareView::OnFilterTextChanged(QString i_text)
{
    FilterParser parser;
    parser.Parse(i_text);
    for (int index = 0; index < mp_folderTree->topLevelItemCount(); ++index)
        FilterFolderNode(mp_folderTree->topLevelItem(index), parser);
    QTreeWidgetItem* current = mp_folderTree->currentItem();
    if (!current)
        return;
    if (IsShownWithAncestors(current))
        OnCurrentItemChanged(current, current);
    else
        ClearFileList();
}

void ShareView::OnFilterHelpClicked()
{
    FilterHelpDialog::ShowHelp(this);
}

void ShareView::OnCurrentItemChanged(QTreeWidgetItem* ip_current, QTreeWidgetItem*)
{
    ClearFileList();
    const ItemPtr folder = FolderOfRow(ip_current);
    if (!folder)
        return;

    // Words found in the folder's name or its ancestors' need not be found again in its files.
    FilterParser parser;
    parser.Parse(mp_filterEdit->text());
    for (QTreeWidgetItem* row = ip_current; row; row = row->parent())
    {
        FilterParser remainder;
        parser.IsMatching(row->text(0), &remainder, ItemPtr());
        parser = remainder;
    }

    Type* nameType = d->GetType(types::kUserShareFileName);
    Type* sizeType = d->GetType(types::kFileSize);
    Type* nodeType = d->GetType(types::kUserShareFileNode);
    QList<QTreeWidgetItem*> rows;
    for (const ItemPtr& file : folder.GetItems(types::kUserShareFile))
    {
        const QString name = file[nameType].AsString();
        if (parser.IsMatching(name, nullptr, file) != FilterParser::Matching)
            continue;
        auto* row = new QTreeWidgetItem;
        row->setText(0, name);
        row->setText(1, CommafyNumber(file[sizeType].AsInt64()));
        row->setText(2, sharedFoldersManager ? sharedFoldersManager->GetFileItemDisplayString(file) : QString());
        m_fileNodes.push_back(LinkRow(nodeType, row, file));
        rows << row;
    }
    // One sort for the whole folder, not one per row.
    mp_fileList->setSortingEnabled(false);
    mp_fileList->addTopLevelItems(rows);
    mp_fileList->setSortingEnabled(true);
}
