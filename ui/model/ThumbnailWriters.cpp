#include "model/ThumbnailWriters.h"

#include "model/QXPublic.h"

// One writer and the lock that gives it to one preview at a time: a writer
// keeps its current node between SetRecoverNode and the read or write, so
// two loaders sharing one must take turns.
struct ThumbnailWriters::Entry {
    explicit Entry(IDataRecovery* w) : writer(w) {}
    ~Entry() {
        if (writer != nullptr) writer->Release();
    }
    IDataRecovery* writer;
    std::mutex use;
};

ThumbnailWriters::~ThumbnailWriters() { Release(); }

std::shared_ptr<ThumbnailWriters::Entry> ThumbnailWriters::Hold(IDataRecovery* writer) {
    return writer != nullptr ? std::make_shared<Entry>(writer) : nullptr;
}

void ThumbnailWriters::AdoptVolumeWriter(IFileNode* root, IDataRecovery* writer) {
    std::shared_ptr<Entry> entry = Hold(writer);
    std::shared_ptr<Entry> replaced;
    std::lock_guard lock(m_lock);
    if (root == nullptr) return;  // `entry` releases the writer
    std::shared_ptr<Entry>& slot = m_volumes[root];
    replaced = std::move(slot);
    slot = std::move(entry);
}

bool ThumbnailWriters::Use(IFileNode* node, IRecoveryController* controller, bool keep,
                           const std::function<void(IDataRecovery&)>& use) {
    if (node == nullptr || controller == nullptr) return false;
    std::shared_ptr<Entry> entry;
    std::map<int, std::shared_ptr<Entry>> dropped;  // released after the map's lock
    {
        std::lock_guard lock(m_lock);
        if (controller->thisType() == RECOVERY_CONTROLLER_QUICK) {
            auto it = m_volumes.find(QXCPPPublic::GetFileSystemNode(node));
            if (it != m_volumes.end()) entry = it->second;
        } else {
            if (m_typesFrom != controller) {
                dropped.swap(m_types);
                m_typesFrom = controller;
            }
            const int type = QXCPPPublic::GetNodeSearcheType(node);
            auto it = m_types.find(type);
            if (it != m_types.end()) {
                entry = it->second;
            } else {
                // The raw search's tag tree is served by its own searcher; a
                // writer of its own keeps one release per writer.
                const int asked = type == SEARCHER_RAW_TAG ? SEARCHER_RAW : type;
                entry = Hold(controller->GetDataRecovery(static_cast<_tagSearcherType>(asked)));
                if (entry != nullptr && keep) m_types[type] = entry;
            }
        }
    }
    dropped.clear();
    if (entry == nullptr) return false;
    std::lock_guard turn(entry->use);
    use(*entry->writer);
    return true;
}

void ThumbnailWriters::Release() {
    std::map<IFileNode*, std::shared_ptr<Entry>> volumes;
    std::map<int, std::shared_ptr<Entry>> types;
    {
        std::lock_guard lock(m_lock);
        volumes.swap(m_volumes);
        types.swap(m_types);
        m_typesFrom = nullptr;
    }
}

std::size_t ThumbnailWriters::Count() {
    std::lock_guard lock(m_lock);
    return m_volumes.size() + m_types.size();
}
