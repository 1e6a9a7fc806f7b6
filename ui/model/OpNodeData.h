#pragma once
// One row of the result outlines (by path, by type, by creation and by
// modification date): either an engine node or a virtual folder of the type
// and date outlines (a "fade" node). It carries the engine's tri-state check
// marks into the outline's check boxes and back.
//
// Rows are owned by the tree store's generation that made them; the parent
// is a plain pointer into the same generation. A row is read and changed
// only under the tree lock (see TreeStore.h).
//
// Plain C++: the texts, the type titles and the time format reach it as
// injected functions, so that the model library stays free of Qt.

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "foundation/FileNode.h"

class OpNodeData;

// The record a row is made from, by value: only the volume-root flag and the
// node are kept.
struct __TreeNodeData__ {
    std::uint32_t dir = 0;
    std::uint32_t deleted = 0;
    std::uint32_t volumeRoot = 0;
    IFileNode* node = nullptr;
};

// A child entry: a row (folders of every outline) or an engine node handle
// (the files of type and date folders, listed when their folder is chosen).
struct OpChild {
    OpNodeData* obj = nullptr;
    IFileNode* file = nullptr;
};

// The outline a row belongs to (and, for date folders, whose time it sorts by).
enum : std::uint32_t {
    kOpTreePath = 0,
    kOpTreeType = 1,
    kOpTreeCreate = 2,
    kOpTreeModify = 3,
    kOpTreeAccess = 4,
};

class OpNodeData {
public:
    // The front end's texts and formats; each may be empty (then the key
    // itself, category 64, or "" stand in).
    struct Lookups {
        std::function<std::string(const char* key)> text;
        std::function<unsigned(const char* title)> filterTypeOfTitle;
        std::function<std::string(std::int64_t fileTime)> formatTime;
    };
    static void SetLookups(Lookups lookups);

    // initWithNodeData: engine node and volume-root flag from the record.
    explicit OpNodeData(const __TreeNodeData__& data);
    // initWithFileNode: an engine node, not a volume root.
    explicit OpNodeData(IFileNode* node);
    OpNodeData(const OpNodeData&) = delete;
    OpNodeData& operator=(const OpNodeData&) = delete;

    // Children: rows and engine node handles, in outline order.
    const std::vector<OpChild>& children() const { return m_children; }
    std::vector<OpChild>& mutableChildren() { return m_children; }
    // Takes the entries and makes itself the parent of every row among them.
    void setSubNode(std::vector<OpChild> children);
    void addChildObject(OpNodeData* child);
    void addChildFile(IFileNode* file);
    void insertChildObject(std::size_t index, OpNodeData* child);

    OpNodeData* parent() const { return m_parent; }
    void setParent(OpNodeData* parent) { m_parent = parent; }
    IFileNode* fileNode() const { return m_node; }
    std::uint32_t isFileSystem() const { return m_isFileSystem; }
    std::uint32_t type() const { return m_type; }
    void setType(std::uint32_t type) { m_type = type; }
    void setFadeName(std::string name) {
        m_fadeName = std::move(name);
        m_hasFadeName = true;
    }
    const std::string& fadeName() const { return m_fadeName; }
    std::uint32_t isExpandAble() const { return m_isExpandAble; }
    void setExpandAble(std::uint32_t flag) { m_isExpandAble = flag; }
    std::uint32_t isExpand() const { return m_isExpand; }
    void setExpand(std::uint32_t flag) { m_isExpand = flag; }
    std::time_t createtime() const { return m_createTime; }
    void setCreateTime(std::time_t time) { m_createTime = time; }
    std::time_t modifytime() const { return m_modifyTime; }
    void setModifyTime(std::time_t time) { m_modifyTime = time; }
    // Drops the children of this row and, through them, of every row below
    // (the rows themselves stay in their generation until it is freed).
    void free();

    bool isFadeNode() const { return m_type != kOpTreePath && m_node == nullptr; }
    bool isDirect() const;
    std::int64_t size() const;
    std::string name() const;
    std::string path() const;
    std::string createTime() const;
    std::string modifyTime() const;
    std::string lastAccessTime() const;
    std::int64_t createTimeValue() const;
    std::int64_t modifyTimeValue() const;
    bool isDeleted() const;
    bool IsShow() const;
    void SetShow(int flag);
    bool isHasFolderChildren() const;
    // The icon kind: 0 volume root, 1 file or folder, 2-8 type categories
    // (8 also for extension folders), 9 date root and year, 10 month, 11 other.
    int nodeType() const;
    int state() const;
    // Stores a folder's mark without passing it on (marks summed from files).
    void setState(int state) { m_state = static_cast<std::uint32_t>(state); }
    void setNodeState(int state);
    void setParentNodeState(int state);
    void SetChildrenNodeState(int state);

    // Over engine node handles (null reads as no node).
    static bool isFileNodeDirect(IFileNode* node);
    static bool isFileNodeDeleted(IFileNode* node);
    static int fileNodeState(IFileNode* node);
    // The engine takes only "unchecked" and "checked": a partial mark is a
    // sum of its children's and is never set on an engine node.
    static void setFileNode(IFileNode* node, int state);
    static std::string fileNodeName(IFileNode* node);

    // The front end's texts, for the folders the outlines make.
    static std::string Text(const char* key);

private:
    IFileNode* m_node = nullptr;
    OpNodeData* m_parent = nullptr;
    std::vector<OpChild> m_children;
    std::string m_fadeName;
    std::time_t m_createTime = 0;
    std::time_t m_modifyTime = 0;
    std::uint32_t m_isFileSystem = 0;
    std::uint32_t m_type = kOpTreePath;
    std::uint32_t m_state = 0;
    std::uint32_t m_isExpandAble = 0;
    std::uint32_t m_isExpand = 0;
    bool m_hasFadeName = false;
};
