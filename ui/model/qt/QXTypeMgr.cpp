#include "model/qt/QXTypeMgr.h"

#include <plist/plist.h>

#include <QFile>
#include <QGuiApplication>
#include <QMutexLocker>
#include <QPainter>
#include <cstring>
#include <memory>
#include <utility>

#include "foundation/Log.h"
#include "model/QXPublic.h"
#include "model/QXUIScan.h"
#include "model/TreeStore.h"
#include "model/qt/FileIcons.h"
#include "model/qt/TextLookup.h"
#include "recovery/RecoveryFilter.h"

namespace {

constexpr unsigned kCategoryBits[] = {1, 2, 4, 8, 16, 32};
constexpr unsigned kOther = 64;
constexpr unsigned kRootBits[] = {1, 2, 4, 8, 16, 32, 64};

// Stores a folder's own mark and nothing else: the files below already carry
// theirs, and a category root keeps its mark when a folder under it changes.
// (A row's parent-side setter stores the mark and then recomputes the fade
// parents above; putting the parent's mark back undoes that climb, and a
// parentless row stops at once.)
void StoreState(OpNodeData* row, int state) {
    OpNodeData* parent = row->parent();
    if (parent == nullptr || !parent->isFadeNode()) {
        row->setParentNodeState(state);
        return;
    }
    const int kept = parent->state();
    row->setParentNodeState(state);
    StoreState(parent, kept);
}

int RootSlot(unsigned bit) {
    for (int i = 0; i < 7; ++i)
        if (kRootBits[i] == bit) return i;
    return -1;
}

struct PlistFree {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};

QString StringOf(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return QString();
    // By pointer and length: the copying getter aborts on an embedded NUL.
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return text != nullptr ? QString::fromUtf8(text, static_cast<qsizetype>(strnlen(text, length))) : QString();
}

}  // namespace

QXTypeMgr& QXTypeMgr::share() {
    static auto* manager = new QXTypeMgr();
    return *manager;
}

QXTypeMgr::QXTypeMgr() {
    L(QString());  // registers the model's resources
    QFile file(":/quillory/model/FileType.plist");
    if (!file.open(QIODevice::ReadOnly) || !init(file.readAll()))
        LogDiagnostic("the file-type categories cannot be read\n");
    initRootNode();
    initTypeMap();
}

bool QXTypeMgr::init(const QByteArray& bytes) {
    if (bytes.isEmpty() || bytes.size() > (1 << 24)) return false;
    plist_t root = nullptr;
    const auto length = static_cast<std::uint32_t>(bytes.size());
    if (plist_is_binary(bytes.constData(), length))
        plist_from_bin(bytes.constData(), length, &root);
    else
        plist_from_xml(bytes.constData(), length, &root);
    std::unique_ptr<void, PlistFree> owner(root);
    if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) return false;

    QHash<unsigned, QStringList> lists;
    for (unsigned bit : kCategoryBits) {
        plist_t entry = plist_dict_get_item(root, QByteArray::number(bit).constData());
        if (entry == nullptr) continue;
        QStringList& list = lists[bit];
        if (plist_get_node_type(entry) == PLIST_ARRAY) {
            const std::uint32_t count = plist_array_get_size(entry);
            for (std::uint32_t i = 0; i < count; ++i) {
                const QString extension = StringOf(plist_array_get_item(entry, i)).trimmed();
                if (!extension.isEmpty()) list.append(extension);
            }
        } else if (plist_get_node_type(entry) == PLIST_STRING) {
            list = StringOf(entry).split(';', Qt::SkipEmptyParts);
        }
    }
    m_lists = lists;
    {
        // The icons follow the list: made again for the new one on next use.
        QMutexLocker hold(&m_imageLock);
        imgDict.clear();
        m_imagesMade = false;
    }
    m_typeOf.clear();
    // Listed under two categories, an extension belongs to the higher bit.
    for (unsigned bit : kCategoryBits)
        for (const QString& extension : m_lists.value(bit)) m_typeOf.insert(extension.toLower(), bit);
    return true;
}

QString QXTypeMgr::getTypeString(unsigned bit) const {
    auto it = m_lists.find(bit);
    if (it == m_lists.end()) return QString();
    // A category listed empty answers "", not null.
    const QString joined = it->join(';');
    return joined.isNull() ? QStringLiteral("") : joined;
}

unsigned QXTypeMgr::typeOfExtension(const QString& extension) const {
    return m_typeOf.value(extension.toLower(), kOther);
}

std::map<int, std::string> initFileType() {
    std::map<int, std::string> lists;
    for (unsigned bit : kCategoryBits) {
        // The engine's table hashes bytes: only ASCII extensions are handed on.
        QString text = QXTypeMgr::share().getTypeString(bit);
        QStringList ascii;
        for (const QString& extension : text.split(';', Qt::SkipEmptyParts)) {
            bool plain = true;
            for (QChar c : extension) plain = plain && c.unicode() < 0x80;
            if (plain) ascii.append(extension);
        }
        lists[static_cast<int>(bit)] = ascii.join(';').toStdString();
    }
    std::map<int, std::string> handed = lists;
    CFileTypeManager::Initialze(lists);
    return handed;
}

// ---- The type tree.

TreeStore* QXTypeMgr::SetTreeStore(TreeStore* store) {
    if (store != m_store) {
        // The folders belong to the other store: forget them untouched.
        DropFolders(false);
        initTypeMap();
        m_generation = 0;
        iNeedRefreshTree = 1;
    }
    return std::exchange(m_store, store);
}

void QXTypeMgr::SetScan(QXUIScan* scan) { m_scan = scan; }

QXUIScan& QXTypeMgr::Scan() const { return m_scan != nullptr ? *m_scan : QXUIScan::instance(); }

void QXTypeMgr::initRootNode() {
    for (int i = 0; i < 7; ++i) {
        auto root = std::make_unique<OpNodeData>(__TreeNodeData__{1, 0, 0, nullptr});
        root->setType(kOpTreeType);
        root->setExpandAble(1);
        const std::string title = QXCPPPublic::FilterTypeToString(kRootBits[i]);
        root->setFadeName(isValidString(title.c_str()) ? title : std::string());
        m_roots[static_cast<std::size_t>(i)] = std::move(root);
    }
}

void QXTypeMgr::SetSlicing(std::size_t nodes, std::function<bool()> between) {
    m_sliceNodes = nodes;
    m_between = std::move(between);
}

void QXTypeMgr::initTypeMap() {
    ++m_pass;
    typeIndexMap.clear();
    for (unsigned bit : kRootBits) typeIndexMap[bit] = Resume{};
}

std::vector<OpNodeData*> QXTypeMgr::getRootNode() const {
    std::vector<OpNodeData*> roots;
    for (const auto& root : m_roots) roots.push_back(root.get());
    return roots;
}

OpNodeData* QXTypeMgr::rootOf(unsigned bit) const {
    const int slot = RootSlot(bit);
    return slot < 0 ? nullptr : m_roots[static_cast<std::size_t>(slot)].get();
}

bool QXTypeMgr::isOtherNode(const OpNodeData* node) const { return node != nullptr && node == rootOf(kOther); }

void QXTypeMgr::initImageDict() {
    QMutexLocker hold(&m_imageLock);
    if (m_imagesMade) return;
    // Icons are drawn by the GUI: without a GUI application there are none.
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) return;
    for (auto it = m_typeOf.constBegin(); it != m_typeOf.constEnd(); ++it)
        imgDict.insert(it.key(), imageSize(FileIconImage(it.key(), 16), QSize(16, 16)));
    m_imagesMade = true;
}

QImage QXTypeMgr::getImageForType(const QString& extension) {
    initImageDict();
    QMutexLocker hold(&m_imageLock);
    return imgDict.value(extension.toLower());
}

QImage QXTypeMgr::imageSize(const QImage& image, QSize size) {
    if (image.isNull() || size.isEmpty()) return QImage();
    QImage canvas(size, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    const QImage scaled = image.scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QPainter painter(&canvas);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setOpacity(1.0);
    painter.drawImage((size.width() - scaled.width()) / 2, (size.height() - scaled.height()) / 2, scaled);
    painter.end();
    return canvas;
}

void QXTypeMgr::DropFolders(bool touchRows) {
    for (unsigned bit : kRootBits) {
        OpNodeData* root = rootOf(bit);
        // Rows of a retired generation may be freed at any moment by the main
        // thread: only this manager's own roots are touched then.
        if (touchRows)
            for (const OpChild& child : root->children())
                if (child.obj != nullptr) child.obj->mutableChildren().clear();
        root->mutableChildren().clear();
        StoreState(root, 0);
    }
    subNodeDict.clear();
    ++m_pass;
}

void QXTypeMgr::Adopt() {
    if (m_store == nullptr) return;
    const std::uint64_t generation = m_store->Generation();
    if (generation == m_generation) return;
    if (m_generation != 0) {
        // The outlines were reset without this tree: start it over.
        DropFolders(false);
        initTypeMap();
        iNeedRefreshTree = 1;
    }
    m_generation = generation;
}

OpNodeData* QXTypeMgr::insertSubNodeToTree(const std::string& extension) {
    if (m_store == nullptr) return nullptr;
    Adopt();
    const unsigned bit = typeOfExtension(QString::fromStdString(extension));
    OpNodeData* root = rootOf(bit);
    OpNodeData* folder = m_store->CreateFolder(extension, kOpTreeType, 0);
    folder->setParent(root);
    root->addChildObject(folder);
    subNodeDict[extension] = folder;
    return folder;
}

OpNodeData* QXTypeMgr::folderOf(const std::string& extension) const {
    auto it = subNodeDict.find(extension);
    return it == subNodeDict.end() ? nullptr : it->second;
}

void QXTypeMgr::refreshTypeTree() {
    if (m_store == nullptr) {
        LogDiagnostic("the type tree has no tree store to make folders in\n");
        return;
    }
    Adopt();
    const std::uint64_t pass = ++m_pass;
    std::map<unsigned, std::size_t> from;
    for (const auto& [bit, resume] : typeIndexMap) from[bit] = resume.index;
    // Only what lies at and beyond each category's last node looked at.
    const std::vector<QXUIScan::ListTail> fresh = Scan().GetTypeTailsFrom(from);
    OpNodeData* other = rootOf(kOther);
    const bool sliced = m_between && m_sliceNodes != 0;
    std::size_t sliceLeft = m_sliceNodes;
    // Names of a category come in runs of one extension: its folder is
    // looked up once per run.
    std::string lastExtension;
    OpNodeData* lastFolder = nullptr;
    bool haveLast = false;
    for (const QXUIScan::ListTail& tail : fresh) {
        const unsigned bit = static_cast<unsigned>(tail.key);
        const std::size_t start = typeIndexMap[bit].index;
        for (std::size_t k = 0; k < tail.nodes.size(); ++k) {
            if (sliced && --sliceLeft == 0) {
                sliceLeft = m_sliceNodes;
                // The resume points are up to date here: whoever refreshes
                // meanwhile goes on from them, and this pass ends.
                if (!m_between() || pass != m_pass) return;
            }
            Resume& resume = typeIndexMap[bit];
            const std::size_t i = start + k;
            IFileNode* node = tail.nodes[k];
            // The last node looked at is met again: filed then, it is done.
            if (i == resume.index && resume.filed && node == resume.node) continue;
            resume = Resume{i, node, false};
            if (node == nullptr || node->IsNodeShow() == 0) continue;
            resume.filed = true;
            std::string extension = QXUIScan::GetNodeExt(node);
            OpNodeData* folder = nullptr;
            if (haveLast && extension == lastExtension) {
                folder = lastFolder;
            } else {
                folder = extension.empty() ? nullptr : folderOf(extension);
                if (folder == nullptr && !extension.empty() &&
                    typeOfExtension(QString::fromStdString(extension)) != kOther)
                    folder = insertSubNodeToTree(extension);
                lastExtension = std::move(extension);
                lastFolder = folder;
                haveLast = true;
            }
            (folder != nullptr ? folder : other)->addChildFile(node);
        }
    }
}

void QXTypeMgr::setNodeState(OpNodeData* folder) {
    if (folder == nullptr) return;
    std::size_t files = 0, checked = 0;
    for (const OpChild& child : folder->children()) {
        if (child.file == nullptr) continue;
        ++files;
        if (child.file->GetCheckedStatus() == CHECKED_ALL) ++checked;
    }
    // Stored on the folder only: its files already carry their own marks.
    StoreState(folder, files != 0 && checked == files ? 2 : (checked != 0 ? 1 : 0));
}

void QXTypeMgr::refreshTypeTreeState() {
    if (iNeedRefreshTree.exchange(0) == 0) return;
    Adopt();
    for (unsigned bit : kCategoryBits)
        for (const OpChild& child : rootOf(bit)->children())
            if (child.obj != nullptr) setNodeState(child.obj);
    OpNodeData* other = rootOf(kOther);
    if (!other->children().empty()) setNodeState(other);
}

void QXTypeMgr::clearData() {
    const bool current = m_store == nullptr || m_store->Generation() == m_generation;
    DropFolders(current);
    iNeedRefreshTree = 1;
}

void QXTypeMgr::clear() {
    clearData();
    bSearch = false;
    initTypeMap();
}

void QXTypeMgr::setSearch(bool flag) {
    clearData();
    initTypeMap();
    bSearch = flag;
}
