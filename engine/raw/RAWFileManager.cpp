#include "raw/RAWFileManager.h"

#include <cctype>

#include "foundation/DirectoryTree.h"
#include "raw/LabelRawTreeBuilder.h"
#include "raw/RAWFileNode.h"
#include "raw/RawFileAnalyser.h"
#include "raw/RawSearchState.h"
#include "recovery/RecoveryFilter.h"

namespace {
constexpr _tagSearcherType kRawTree = static_cast<_tagSearcherType>(34);
}

CRAWFileManager::CRAWFileManager(int rootId, int category, IDirecotryTreeBuilder* builder, CRawSearchState* state,
                                 CLABELRAWTreeBuilder* labels)
    : m_rootId(rootId), m_category(category), m_builder(builder), m_state(state), m_labels(labels) {}

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
    RAW_FILE_TAG tag;
    std::string value;
    record->GetRawFileTagAndValue(tag, value);
    if (IsTreeTag(tag) && m_labels && m_labels->InsertNodeToTree(record, m_builder)) return 1;

    auto* file = new CRAWFileNode(m_state);
    if (!file->Initilaize(record, attribute, parentId, nodeId)) {
        file->Release();
        return 0;
    }
    std::int64_t folderId = 0;
    CRAWFileNode* folder = nullptr;
    if (!bFindParent(file, folderId)) {
        folder = CreateParentNode(file);
        if (folder == nullptr) {
            file->Release();
            return 0;
        }
        folderId = folder->GetCurrentNodeID();
    }
    file->SetParentNodeID(folderId);
    const std::string ext = GetExt(file);
    const int fileOk = m_builder->AddNode(file, kRawTree);
    if (!fileOk) file->Release();
    // The folder is in the map already: hand it over even when its first
    // file was refused, so later files find their parent; a refused folder
    // is made anew for the next file.
    if (folder && !m_builder->AddNode(folder, kRawTree)) {
        folder->Release();
        m_folders.erase(ext);
    }
    return fileOk ? 1 : 0;
}

CRAWFileManagerSet::CRAWFileManagerSet(IDirecotryTreeBuilder* builder, CRawSearchState* state, int rootId)
    : m_builder(builder),
      m_state(state),
      m_rootId(rootId),
      m_types(std::make_unique<CFileTypeManager>()),
      m_labels(std::make_unique<CLABELRAWTreeBuilder>(state)) {
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
    return Manager(CategoryOf(record->m_type)).AddRawFileInfo(record);
}
