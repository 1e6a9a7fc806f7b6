#pragma once
// The "(Label RAW Files)" tree: files whose analyser found a metadata tag,
// grouped by the kind of tag (key folders with fixed ids), then by the
// tag's value (value folders), office documents also by application group.
// One builder serves every category of a search, so a tag that comes from
// two categories (a camera from JPG and from a camera-raw type) gets one key
// folder and one value folder.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class CRawFileInfo;
class CRAWFileNode;
class CRawSearchState;
class IDirecotryTreeBuilder;

class CLABELRAWTreeBuilder {
public:
    static constexpr std::int64_t kRootId = 1000;

    explicit CLABELRAWTreeBuilder(CRawSearchState* state) : m_state(state) {}
    ~CLABELRAWTreeBuilder();
    CLABELRAWTreeBuilder(const CLABELRAWTreeBuilder&) = delete;
    CLABELRAWTreeBuilder& operator=(const CLABELRAWTreeBuilder&) = delete;

    // 1 when the file went into the tag tree (the builder took it). 0 when
    // the record has no tag 0..5, a folder could not be made (an empty
    // value) or the builder refused the file: the caller then files it by
    // extension, so it is never lost. Hands the builder the file, then its
    // new folders, children before parents.
    int InsertNodeToTree(CRawFileInfo* record, IDirecotryTreeBuilder* builder);

    // The key string: the value and the tag's suffix.
    static std::string GetKeyName(CRawFileInfo* record);
    // The id of the record's value folder; 0 when there is none yet.
    std::int64_t GetParentNode(CRawFileInfo* record);
    // Name and fixed id of a tag's key folder; false for other tags.
    static bool KeyFolder(std::int32_t tag, const char** name, std::int64_t* id);
    // Name and fixed id of an office type's group; false for other types.
    static bool OfficeGroup(std::uint32_t type, const char** name, std::int64_t* id);

private:
    struct NewFolder {
        CRAWFileNode* node;
        int kind;  // 0 key folder, 1 value folder, 2 office group
        std::string key;
        std::int32_t tag;
    };

    // These return the new or existing folder's id, 0 when none can be made.
    std::int64_t InsertTagKeyNodeToTree(CRawFileInfo* record);
    std::int64_t InsertSubTagNodeToTree(std::int64_t parentId, CRawFileInfo* record);
    std::int64_t InsertOfficeNode(std::int64_t parentId, CRawFileInfo* record);
    CRAWFileNode* MakeDirNode(std::int64_t parentId, std::int64_t id, const std::string& name);
    CRAWFileNode* MakeFileNode(std::int64_t parentId, std::int64_t id, CRawFileInfo* record);
    // GetKeyName into a buffer the builder keeps, so finding a known value
    // folder makes no string.
    const std::string& KeyOf(CRawFileInfo* record);
    // Forgets and frees the folders of an insertion that failed.
    void DropNewFolders();
    void Forget(const NewFolder& f);

    CRawSearchState* m_state;
    std::map<std::int32_t, std::int64_t> m_keyFolders;   // tag -> key folder id
    std::map<std::string, std::int64_t> m_valueFolders;  // key string -> value folder id
    // Office groups apart from the value folders, so a value that reads
    // "Word" never lands in the Word group.
    std::map<std::string, std::int64_t> m_groups;
    std::vector<NewFolder> m_newFolders;  // front = first handed over
    std::string m_key;
};
