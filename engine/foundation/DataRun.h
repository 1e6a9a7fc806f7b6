#pragma once
// Where the pieces of a file lie: runs of consecutive sectors or clusters.

#include <cstdint>
#include <vector>

// One run. Start and length count in the owning file system's unit (sectors
// or clusters; see CSearchedPartitionInfo::GetCluster0Sector for where run
// start 0 lies). A negative start is a sparse run: no data on the device.
// Stored in scan-result files as 16 bytes, start then length, little-endian.
struct DataRun {
    std::int64_t start = 0;
    std::int64_t length = 0;
};
static_assert(sizeof(DataRun) == 16);

class IDataRunList {
public:
    virtual ~IDataRunList() = default;
    // Moves the cursor to the first run; null for an empty list.
    virtual DataRun* GetFirst() = 0;
    // Moves the cursor one run on; null once it has passed the last run.
    virtual DataRun* GetNext() = 0;
    // 1 when the cursor stands behind the last run (also before GetFirst).
    virtual int IsDone() = 0;
    virtual int IsResident() = 0;
    // A new, independent list with the same runs.
    virtual IDataRunList* Clone() = 0;
    // Appends a run, or lengthens the last run when the new one continues it.
    virtual void AddDataRun(const DataRun* run) = 0;
    virtual std::int64_t GetOffset() = 0;
    virtual int GetDataRunListType() = 0;
    virtual void Release() = 0;
};

class CDataRunList : public IDataRunList {
public:
    static constexpr int kListType = 5;

    CDataRunList() = default;
    ~CDataRunList() override = default;

    DataRun* GetFirst() override;
    DataRun* GetNext() override;
    int IsDone() override;
    int IsResident() override { return m_resident; }
    IDataRunList* Clone() override;
    void AddDataRun(const DataRun* run) override;
    std::int64_t GetOffset() override { return 0; }
    int GetDataRunListType() override { return kListType; }
    void Release() override { delete this; }

    // Number of runs, for readers that index instead of walking the cursor.
    std::size_t GetCount() const { return m_runs.size(); }
    const DataRun* GetRun(std::size_t i) const { return i < m_runs.size() ? &m_runs[i] : nullptr; }

protected:
    // Appends without joining to the last run, for lists whose runs must stay
    // as they were recorded.
    void AppendDataRunUnmerged(const DataRun& run) { m_runs.push_back(run); }

private:
    static constexpr std::size_t kNoCursor = static_cast<std::size_t>(-1);
    std::vector<DataRun> m_runs;
    std::size_t m_cursor = kNoCursor;
    int m_resident = 0;
};

// Walks a run list by index when it is a plain CDataRunList, so the list's
// own cursor (the tree and readers share a node's list) stays where it was;
// other lists are walked through their cursor.
class CDataRunWalker {
public:
    explicit CDataRunWalker(IDataRunList* list) : m_list(list), m_plain(dynamic_cast<CDataRunList*>(list)) {}
    const DataRun* First() {
        m_index = 0;
        return m_plain ? m_plain->GetRun(0) : m_list->GetFirst();
    }
    const DataRun* Next() { return m_plain ? m_plain->GetRun(++m_index) : m_list->GetNext(); }

private:
    IDataRunList* m_list;
    CDataRunList* m_plain;
    std::size_t m_index = 0;
};

// A new empty list, owned by the caller and freed with Release().
IDataRunList* CreateDataRunList();
