#pragma once
// Turns sized raw-search records into nodes: files under lower-case
// extension folders of the "(RAW Files)" tree, one manager per file
// category; tagged files into the tag trees.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class CRawFileInfo;
class CRAWFileNode;
class CRawSearchState;
class CLABELRAWTreeBuilder;
class CFileTypeManager;
class IDirecotryTreeBuilder;

class CRAWFileManager {
public:
    static constexpr std::uint32_t kFirstFileId = 10000;

    // `labels` is the search's one tag-tree builder, shared by all managers.
    CRAWFileManager(int rootId, int category, IDirecotryTreeBuilder* builder, CRawSearchState* state,
                    CLABELRAWTreeBuilder* labels);

    // 0 for null; else AddNode with the next file id (ids count from 10,000
    // in every manager; the tree builder tells files apart by parent and
    // name as well).
    int AddRawFileInfo(CRawFileInfo* record);
    // 1 when the file was added. A record with a tag 0..5 goes to the tag
    // trees; when it cannot go there, and for any other record, it is filed
    // by extension.
    int AddNode(CRawFileInfo* record, unsigned attribute, int parentId, int nodeId);
    bool bFindParent(CRAWFileNode* node, std::int64_t& id);
    CRAWFileNode* CreateParentNode(CRAWFileNode* node);
    // The text after the name's last ".", lower-cased; empty without one.
    static std::string GetExt(CRAWFileNode* node);
    // A temporary record naming a folder (start -1, size 0); the caller deletes it.
    static CRawFileInfo* MakeDirNode(const char* name);

    int Category() const { return m_category; }

private:
    // A file's extension folder found through its type: a file's name ends
    // in ".<the type's extension>", so GetExt of the name is known from the
    // type alone. kNoFolder when the type has no folder yet.
    static constexpr std::int64_t kNoFolder = INT64_MIN;
    std::int64_t FolderOfType(std::uint32_t type);

    std::uint32_t m_nextFileId = kFirstFileId;
    int m_rootId;
    int m_category;
    IDirecotryTreeBuilder* m_builder;
    CRawSearchState* m_state;
    CLABELRAWTreeBuilder* m_labels;
    std::map<std::string, std::int64_t> m_folders;  // extension -> folder id
    // The folder id of m_folders for each type's extension, as far as known.
    std::vector<std::int64_t> m_typeFolders;
};

// The managers of one search: the category of each record comes from the
// file-type manager (filled from the front end's category lists), and one
// tag-tree builder is shared by all.
class CRAWFileManagerSet {
public:
    CRAWFileManagerSet(IDirecotryTreeBuilder* builder, CRawSearchState* state, int rootId = 1);
    ~CRAWFileManagerSet();
    // The category (2..8) of a raw file type.
    int CategoryOf(std::uint32_t type) const;
    CRAWFileManager& Manager(int category);
    int AddRawFileInfo(CRawFileInfo* record);
    CLABELRAWTreeBuilder& Labels() { return *m_labels; }

private:
    IDirecotryTreeBuilder* m_builder;
    CRawSearchState* m_state;
    int m_rootId;
    std::unique_ptr<CFileTypeManager> m_types;
    std::unique_ptr<CLABELRAWTreeBuilder> m_labels;
    std::map<int, std::unique_ptr<CRAWFileManager>> m_managers;
    // The manager of each raw type, once a record of it came: the category
    // is a lookup by extension name, the same for every record of a type.
    std::vector<CRAWFileManager*> m_typeManagers;
};
