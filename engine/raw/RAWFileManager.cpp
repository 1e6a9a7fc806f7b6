#include "raw/RAWFileManager.h"

#include <algorithm>
#include <cctype>

#include "foundation/DirectoryTree.h"
#include "raw/LabelRawTreeBuilder.h"
#include "raw/RAWFileNode.h"
#include "raw/RawFileAnalyser.h"
#include "raw/RawSearchState.h"
#include "recovery/RecoveryFilter.h"

namespace {
constexpr _tagSearcherType kRawTree = static_cast<_tagSearcherType>(34);

// Lower-cased text after the last "." of ".<extension>" for each raw type,
// which is what GetExt gives for every file name the type makes.
const std::string& ExtOfType(std::uint32_t type) {
    static const std::vector<std::string> exts = [] {
        std::vector<std::string> v(RAW_FILE_TYPE_COUNT);
        for (std::size_t t = 0; t < v.size(); ++t) {
            const std::string dotted = std::string(".") + g_s_strFileExtName[t];
            std::string ext = dotted.substr(dotted.rfind('.') + 1);
            for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            v[t] = std::move(ext);
        }
        return v;
    }();
    return exts[type < RAW_FILE_TYPE_COUNT ? type : 0];
}
}  // namespace

CRAWFileManager::CRAWFileManager(int rootId, int category, IDirecotryTreeBuilder* builder, CRawSearchState* state,
                                 CLABELRAWTreeBuilder* labels)
    : m_rootId(rootId),
      m_category(category),
      m_builder(builder),
      m_state(state),
      m_labels(labels),
      m_typeFolders(RAW_FILE_TYPE_COUNT, kNoFolder) {}

std::int64_t CRAWFileManager::FolderOfType(std::uint32_t type) {
    const std::uint32_t slot = type < RAW_FILE_TYPE_COUNT ? type : 0;
    std::int64_t& id = m_typeFolders[slot];
    if (id == kNoFolder) {
        auto it = m_folders.find(ExtOfType(slot));
        if (it != m_folders.end()) id = it->second;
    }
    return id;
}

int CRAWFileManager::AddRawFileInfo(CRawFileInfo* record) {
    if (record == nullptr) return 0;
    return AddNode(record, CRAWFileNode::kFile, m_category, static_cast<int>(m_nextFileId++));
}

std::string CRAWFileManager::GetExt(CRAWFileNode* node) {
    const std::string name = node ? node->GetFileName() : "";
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos) return std::string();
    std::string ext = name.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

CRawFileInfo* CRAWFileManager::MakeDirNode(const char* name) {
    auto* temp = new CRawFileInfo();
    temp->m_startSector = -1;
    temp->SetRawFileName(name ? name : "");
    return temp;
}

bool CRAWFileManager::bFindParent(CRAWFileNode* node, std::int64_t& id) {
    auto it = m_folders.find(GetExt(node));
    if (it == m_folders.end()) return false;
    id = it->second;
    return true;
}

CRAWFileNode* CRAWFileManager::CreateParentNode(CRAWFileNode* node) {
    const std::string ext = GetExt(node);
    CRawFileInfo* temp = MakeDirNode(ext.c_str());
    auto* folder = new CRAWFileNode(m_state);
    std::int64_t& nextId = m_state->g_nID();
    const int ok = folder->Initilaize(temp, CRAWFileNode::kFolder, m_rootId, nextId);
    delete temp;
    if (!ok) {
        folder->Release();
        return nullptr;
    }
    m_folders[ext] = nextId++;
    return folder;
}

int CRAWFileManager::AddNode(CRawFileInfo* record, unsigned attribute, int parentId, int nodeId) {
    if (record == nullptr || m_builder == nullptr || m_state == nullptr) return 0;
    // Only the tag trees read the tag's value.
    if (IsTreeTag(record->m_tag) && m_labels && m_labels->InsertNodeToTree(record, m_builder)) return 1;

    auto* file = new CRAWFileNode(m_state);
    if (!file->Initilaize(record, attribute, parentId, nodeId)) {
        file->Release();
        return 0;
    }
    // Files are named after their type's extension; anything else is looked
    // up by its name.
    const bool byType = (attribute & CRAWFileNode::kFolder) == 0;
    std::int64_t folderId = kNoFolder;
    if (byType)
        folderId = FolderOfType(record->m_type);
    else if (!bFindParent(file, folderId))
        folderId = kNoFolder;
    CRAWFileNode* folder = nullptr;
    if (folderId == kNoFolder) {
        folder = CreateParentNode(file);
        if (folder == nullptr) {
            file->Release();
            return 0;
        }
        folderId = folder->GetCurrentNodeID();
    }
    file->SetParentNodeID(folderId);
    // The new folder's key, taken while the file is surely alive.
    std::string folderKey;
    if (folder) folderKey = byType ? ExtOfType(record->m_type) : GetExt(file);
    const int fileOk = m_builder->AddNode(file, kRawTree);
    if (!fileOk) file->Release();
    // The folder is in the map already: hand it over even when its first
    // file was refused, so later files find their parent; a refused folder
    // is made anew for the next file.
    if (folder && !m_builder->AddNode(folder, kRawTree)) {
        m_folders.erase(folderKey);
        std::fill(m_typeFolders.begin(), m_typeFolders.end(), kNoFolder);
        folder->Release();
    }
    return fileOk ? 1 : 0;
}

CRAWFileManagerSet::CRAWFileManagerSet(IDirecotryTreeBuilder* builder, CRawSearchState* state, int rootId)
    : m_builder(builder),
      m_state(state),
      m_rootId(rootId),
      m_types(std::make_unique<CFileTypeManager>()),
      m_labels(std::make_unique<CLABELRAWTreeBuilder>(state)),
      m_typeManagers(RAW_FILE_TYPE_COUNT, nullptr) {
    m_types->Initialize();
}

CRAWFileManagerSet::~CRAWFileManagerSet() = default;

int CRAWFileManagerSet::CategoryOf(std::uint32_t type) const {
    if (type >= static_cast<std::uint32_t>(RAW_FILE_TYPE_COUNT)) return FILE_TYPE_UNKNOWN;
    return static_cast<int>(m_types->GetFileTypeID(g_s_strFileExtName[type]));
}

CRAWFileManager& CRAWFileManagerSet::Manager(int category) {
    auto& m = m_managers[category];
    if (!m) m = std::make_unique<CRAWFileManager>(m_rootId, category, m_builder, m_state, m_labels.get());
    return *m;
}

int CRAWFileManagerSet::AddRawFileInfo(CRawFileInfo* record) {
    if (record == nullptr) return 0;
    const std::uint32_t type = record->m_type;
    if (type >= static_cast<std::uint32_t>(RAW_FILE_TYPE_COUNT))
        return Manager(CategoryOf(type)).AddRawFileInfo(record);
    CRAWFileManager*& manager = m_typeManagers[type];
    if (manager == nullptr) manager = &Manager(CategoryOf(type));
    return manager->AddRawFileInfo(record);
}
