#pragma once
// The file-type categories: which extensions are documents, pictures,
// movies, music, archives and e-mail, read from FileType.plist (a resource
// of the model). The engine's file-type table is filled from them at start
// (initFileType), and the type tree files found nodes by them.
//
// The type tree: seven category roots (1 document, 2 picture, 4 movie,
// 8 music, 16 archive, 32 e-mail, 64 other), under each of the first six one
// folder per extension, and in each folder the found files of that
// extension; files of an extension no category lists sit directly under the
// root 64. It grows incrementally while a scan runs: each refresh files only
// what the scan bridge filed by type since the last one.
//
// Locking: the methods marked [tree lock] read or change the tree and expect
// the caller to hold the tree lock (g_lockerAddData). The roots are made
// once and live as long as the manager; extension folders are made in the
// tree store's current generation. When the store has moved on to a new
// generation (the outlines were reset), the manager forgets its folders
// without touching them and files everything anew.

#include <QHash>
#include <QImage>
#include <QMutex>
#include <QSize>
#include <QString>
#include <QStringList>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/OpNodeData.h"

class QXUIScan;
class TreeStore;

class QXTypeMgr {
public:
    // The one manager, loaded on first use and never destroyed.
    static QXTypeMgr& share();

    // Loads the categories from a property list whose keys are the category
    // bits ("1" .. "32") and whose values are arrays of extensions; false
    // (and nothing loaded) when the bytes are no such list.
    bool init(const QByteArray& plist);
    // The extensions of one category bit joined with ";"; a null string for
    // a bit without an entry.
    QString getTypeString(unsigned bit) const;
    // The category bit of an extension (any case); 64 for one not listed.
    unsigned typeOfExtension(const QString& extension) const;

    // Where extension folders are made (not owned); without a store nothing
    // is filed.
    // Answers the store it replaces. Another store starts the tree over;
    // call it under the tree lock, or before any refresh.
    TreeStore* SetTreeStore(TreeStore* store);
    // The scan bridge whose type lists are filed (not owned); the process's
    // own by default, null restores it.
    void SetScan(QXUIScan* scan);

    // Sets every category's resume point to the start.
    void initTypeMap();
    // The seven roots, in the order 1, 2, 4, 8, 16, 32, 64; made once, named
    // by the category titles of the current language.
    std::vector<OpNodeData*> getRootNode() const;
    // The root of a category bit (1 .. 64), or null.
    OpNodeData* rootOf(unsigned bit) const;
    bool isOtherNode(const OpNodeData* node) const;

    // Icons (main thread; they need the GUI application): a 16 x 16 picture
    // per listed extension, made on first use. Null for an unknown extension
    // and when no GUI application runs.
    void initImageDict();
    QImage getImageForType(const QString& extension);
    // A new image of `size` with `image` drawn into it smoothly, centred,
    // its aspect kept; null when `image` is.
    static QImage imageSize(const QImage& image, QSize size);

    // [tree lock] Files the nodes the scan bridge filed by type since the
    // last refresh. A node hidden when it is looked at is passed and stays
    // unfiled, unless it was the last one looked at, which the next refresh
    // looks at again.
    void refreshTypeTree();
    // Long refreshes file at most `nodes` nodes at a time; between two
    // slices `between` runs (tree lock held; it may let the lock go for a
    // moment) and answers false when the refresh must stop because the
    // outlines were reset. A refresh that finds the tree changed by another
    // one meanwhile stops too: that one went on from where this one was.
    // Without `between` (or with 0 nodes) a refresh files all at once.
    void SetSlicing(std::size_t nodes, std::function<bool()> between);

    // [tree lock] A new extension folder, linked under its category's root.
    OpNodeData* insertSubNodeToTree(const std::string& extension);
    // [tree lock] The extension folder of an extension, or null.
    OpNodeData* folderOf(const std::string& extension) const;
    // [tree lock] A folder's check mark from its files: 2 when all are
    // checked (and there is one), 1 when some are, 0 when none is.
    void setNodeState(OpNodeData* folder);
    // [tree lock] When marked (QXSetNeedRefreshTree), recomputes the marks of
    // every extension folder and of the root 64 when it holds files; the
    // roots 1 to 32 keep theirs.
    void refreshTypeTreeState();
    // [tree lock] Empties the tree but keeps the roots (unchecked); marks
    // the check marks for recomputing. The resume points stay.
    void clearData();
    // [tree lock] Empties the tree and starts filing from the beginning (a
    // new scan or a restored result).
    void clear();
    // [tree lock] A search replaces the tree: empty it, file from the
    // beginning, and remember whether a search is on.
    void setSearch(bool flag);
    bool isSearch() const { return bSearch.load(); }
    // The check marks must be recomputed (a check box was clicked).
    void QXSetNeedRefreshTree() { iNeedRefreshTree = 1; }

private:
    QXTypeMgr();
    void initRootNode();
    QXUIScan& Scan() const;
    // Forgets the folders when the store's generation is no longer theirs.
    void Adopt();
    void DropFolders(bool touchRows);

    // Where each category's next refresh resumes: the index of the last node
    // looked at, and whether that node was filed (then it is not filed again).
    struct Resume {
        std::size_t index = 0;
        IFileNode* node = nullptr;
        bool filed = false;
    };

    TreeStore* m_store = nullptr;
    QXUIScan* m_scan = nullptr;
    std::uint64_t m_generation = 0;
    std::array<std::unique_ptr<OpNodeData>, 7> m_roots;
    std::unordered_map<std::string, OpNodeData*> subNodeDict;
    std::map<unsigned, Resume> typeIndexMap;
    std::atomic<bool> bSearch{false};
    std::atomic<unsigned> iNeedRefreshTree{0};
    // Counts refreshes and resets: a sliced refresh that finds it changed
    // after letting the lock go stops.
    std::uint64_t m_pass = 0;
    std::size_t m_sliceNodes = 0;
    std::function<bool()> m_between;
    QMutex m_imageLock;
    bool m_imagesMade = false;
    QHash<QString, QImage> imgDict;
    QHash<unsigned, QStringList> m_lists;
    QHash<QString, unsigned> m_typeOf;  // lower-case extension -> bit
};

// Hands the six categories to the engine's file-type table. Run it at start,
// before anything makes the engine's filter (QXUIFilter::instance()): the
// filter fills its table once, when it is made. Returns the map it handed.
std::map<int, std::string> initFileType();
