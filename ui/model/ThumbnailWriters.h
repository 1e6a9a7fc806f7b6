#pragma once
// The file writers of previews, apart from the recovery's: a preview's
// SetRecoverNode can then never slip between a recovery's SetRecoverNode and
// RecoverTo (the recovered file would hold another file's data), and a
// preview need not wait for a long copy to end.
//
// A quick scan hands one writer per volume root as each volume's search
// ends (its controller serves only the volume it searched last); a deep
// scan's writers are taken from its controller per searcher type when first
// needed. All are released with the scan's result.

#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "recovery/RecoveryController.h"

class ThumbnailWriters {
public:
    ThumbnailWriters() = default;
    ~ThumbnailWriters();
    ThumbnailWriters(const ThumbnailWriters&) = delete;
    ThumbnailWriters& operator=(const ThumbnailWriters&) = delete;

    // Takes `writer` (owned from now, may be null) as the one of a quick
    // scan's volume root; a writer the root had is released.
    void AdoptVolumeWriter(IFileNode* root, IDataRecovery* writer);

    // Runs `use` with the writer that serves `node` under `controller`, with
    // no other preview using that writer meanwhile; false when there is none.
    // `keep` false makes a deep scan's writer for this call only: a search
    // still under way adds partitions that a kept writer would never see.
    bool Use(IFileNode* node, IRecoveryController* controller, bool keep,
             const std::function<void(IDataRecovery&)>& use);

    // Releases every writer; one in use goes when its preview ends.
    void Release();

    // Writers held now (volume and type entries).
    std::size_t Count();

private:
    struct Entry;
    static std::shared_ptr<Entry> Hold(IDataRecovery* writer);

    std::mutex m_lock;
    std::map<IFileNode*, std::shared_ptr<Entry>> m_volumes;
    std::map<int, std::shared_ptr<Entry>> m_types;
    // The deep controller the type entries came from.
    IRecoveryController* m_typesFrom = nullptr;
};
