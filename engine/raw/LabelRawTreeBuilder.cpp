#include "raw/LabelRawTreeBuilder.h"

#include "foundation/DirectoryTree.h"
#include "raw/RAWFileNode.h"
#include "raw/RawFileAnalyser.h"
#include "raw/RawSearchState.h"

namespace {
constexpr _tagSearcherType kLabelTree = static_cast<_tagSearcherType>(36);
}

CLABELRAWTreeBuilder::~CLABELRAWTreeBuilder() { DropNewFolders(); }

bool CLABELRAWTreeBuilder::KeyFolder(std::int32_t tag, const char** name, std::int64_t* id) {
    static const struct {
        const char* name;
        std::int64_t id;
    } kKeys[] = {{"Artists", -14}, {"Camera", -15}, {"Office", -13}, {"MOV", -8}, {"PDF", -7}, {"AI", -6}};
    if (!IsTreeTag(tag)) return false;
    *name = kKeys[tag].name;
    *id = kKeys[tag].id;
    return true;
}

bool CLABELRAWTreeBuilder::OfficeGroup(std::uint32_t type, const char** name, std::int64_t* id) {
    switch (type) {
    case RAW_FILE_TYPE_DOC:
    case RAW_FILE_TYPE_DOCX:
        *name = "Word", *id = -12;
        return true;
    case RAW_FILE_TYPE_PPT:
    case RAW_FILE_TYPE_PPTX:
        *name = "PowerPoint", *id = -10;
        return true;
    case RAW_FILE_TYPE_XLS:
    case RAW_FILE_TYPE_XLSX:
        *name = "Excel", *id = -11;
        return true;
    default:
        return false;
    }
}

std::string CLABELRAWTreeBuilder::GetKeyName(CRawFileInfo* record) {
    RAW_FILE_TAG tag;
    std::string value;
    record->GetRawFileTagAndValue(tag, value);
    const char* group;
    std::int64_t groupId;
    switch (tag) {
    case RAW_FILE_TAG_ARTIST:
        return value + "_MP3";
    case RAW_FILE_TAG_CAMERA:
        return value + "_CAMERA";
    case RAW_FILE_TAG_OFFICE:
        return OfficeGroup(record->m_type, &group, &groupId) ? value + "_" + group : value;
    case RAW_FILE_TAG_VIDEO_CAMERA:
        return value + "_MOV";
    case RAW_FILE_TAG_PDF:
        return value + "_PDF";
    default:
        return value;
    }
}

const std::string& CLABELRAWTreeBuilder::KeyOf(CRawFileInfo* record) {
    // The value is filtered where it lies, as GetRawFileTagAndValue does.
    record->m_tagValue = ApiStrFilterBadFileName(std::move(record->m_tagValue));
    m_key.assign(record->m_tagValue);
    const char* group;
    std::int64_t groupId;
    switch (static_cast<RAW_FILE_TAG>(record->m_tag)) {
    case RAW_FILE_TAG_ARTIST:
        m_key += "_MP3";
        break;
    case RAW_FILE_TAG_CAMERA:
        m_key += "_CAMERA";
        break;
    case RAW_FILE_TAG_OFFICE:
        if (OfficeGroup(record->m_type, &group, &groupId)) {
            m_key += '_';
            m_key += group;
        }
        break;
    case RAW_FILE_TAG_VIDEO_CAMERA:
        m_key += "_MOV";
        break;
    case RAW_FILE_TAG_PDF:
        m_key += "_PDF";
        break;
    default:
        break;
    }
    return m_key;
}

std::int64_t CLABELRAWTreeBuilder::GetParentNode(CRawFileInfo* record) {
    auto it = m_valueFolders.find(KeyOf(record));
    return it == m_valueFolders.end() ? 0 : it->second;
}

CRAWFileNode* CLABELRAWTreeBuilder::MakeDirNode(std::int64_t parentId, std::int64_t id, const std::string& name) {
    CRawFileInfo temp;
    temp.m_startSector = -1;
    temp.SetRawFileName(name);
    auto* node = new CRAWFileNode(m_state);
    if (!node->Initilaize(&temp, CRAWFileNode::kFolder, parentId, id)) {
        node->Release();
        return nullptr;
    }
    return node;
}

CRAWFileNode* CLABELRAWTreeBuilder::MakeFileNode(std::int64_t parentId, std::int64_t id, CRawFileInfo* record) {
    auto* node = new CRAWFileNode(m_state);
    if (!node->Initilaize(record, CRAWFileNode::kFile, parentId, id)) {
        node->Release();
        return nullptr;
    }
    return node;
}

std::int64_t CLABELRAWTreeBuilder::InsertTagKeyNodeToTree(CRawFileInfo* record) {
    const char* name;
    std::int64_t id;
    if (!KeyFolder(record->m_tag, &name, &id)) return 0;
    CRAWFileNode* node = MakeDirNode(kRootId, id, name);
    if (node == nullptr) return 0;
    m_keyFolders[record->m_tag] = id;
    m_newFolders.insert(m_newFolders.begin(), NewFolder{node, 0, std::string(), record->m_tag});
    return id;
}

std::int64_t CLABELRAWTreeBuilder::InsertOfficeNode(std::int64_t parentId, CRawFileInfo* record) {
    const char* name;
    std::int64_t id;
    if (!OfficeGroup(record->m_type, &name, &id)) return 0;
    if (m_groups.count(name)) return m_groups[name];
    CRAWFileNode* node = MakeDirNode(parentId, id, name);
    if (node == nullptr) return 0;
    m_groups[name] = id;
    m_newFolders.insert(m_newFolders.begin(), NewFolder{node, 2, name, 0});
    return id;
}

std::int64_t CLABELRAWTreeBuilder::InsertSubTagNodeToTree(std::int64_t parentId, CRawFileInfo* record) {
    RAW_FILE_TAG tag;
    std::string value;
    record->GetRawFileTagAndValue(tag, value);
    // A value with nothing printable left makes no folder: the file goes to
    // the extension tree instead.
    if (CRAWFileNode::MakeFolderName(value).empty()) return 0;
    if (tag == RAW_FILE_TAG_OFFICE)
        if (const std::int64_t group = InsertOfficeNode(parentId, record)) parentId = group;
    const std::int64_t id = CRawSearchState::NextRawCount();
    CRAWFileNode* node = MakeDirNode(parentId, id, value);
    if (node == nullptr) return 0;
    const std::string key = GetKeyName(record);
    m_valueFolders[key] = id;
    m_newFolders.insert(m_newFolders.begin(), NewFolder{node, 1, key, 0});
    return id;
}

void CLABELRAWTreeBuilder::Forget(const NewFolder& f) {
    if (f.kind == 0)
        m_keyFolders.erase(f.tag);
    else if (f.kind == 1)
        m_valueFolders.erase(f.key);
    else
        m_groups.erase(f.key);
}

void CLABELRAWTreeBuilder::DropNewFolders() {
    for (const NewFolder& f : m_newFolders) {
        Forget(f);
        f.node->Release();
    }
    m_newFolders.clear();
}

int CLABELRAWTreeBuilder::InsertNodeToTree(CRawFileInfo* record, IDirecotryTreeBuilder* builder) {
    if (record == nullptr || builder == nullptr || !IsTreeTag(record->m_tag)) return 0;
    DropNewFolders();
    std::int64_t parent;
    auto key = m_keyFolders.find(record->m_tag);
    if (key != m_keyFolders.end()) {
        parent = GetParentNode(record);
        if (parent == 0) parent = InsertSubTagNodeToTree(key->second, record);
    } else {
        const std::int64_t keyId = InsertTagKeyNodeToTree(record);
        parent = keyId ? InsertSubTagNodeToTree(keyId, record) : 0;
    }
    CRAWFileNode* file = parent ? MakeFileNode(parent, CRawSearchState::NextRawCount(), record) : nullptr;
    if (file == nullptr || !builder->AddNode(file, kLabelTree)) {
        if (file) file->Release();
        DropNewFolders();
        return 0;
    }
    for (const NewFolder& f : m_newFolders)
        if (!builder->AddNode(f.node, kLabelTree)) {
            // Made anew by the next record that needs it.
            Forget(f);
            f.node->Release();
        }
    m_newFolders.clear();
    return 1;
}
