#pragma once
// The outlines by creation date and by modification date: under a root
// folder one folder per year ("2014"), under each year one folder per month
// ("03"), and in each month the files whose time falls in it. They grow
// incrementally while a scan runs: each refresh files only what the scan
// bridge filed by date since the last one, by remembering per year and month
// how many of that month's nodes have been looked at.
//
// Locking: every method that reads or changes a tree, an index map or the
// folder dictionaries (marked [tree lock]) expects the caller to hold the
// tree lock (g_lockerAddData), the lock under which the view trees are
// built, searched and read. The need-refresh flags are atomic and need no
// lock. Folders are made in the tree store's current generation; when the
// store has moved to a new generation (the outlines were reset) or the
// refresh is handed another root, the manager forgets the old folders
// without touching them and files everything anew.
//
// Plain C++.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/OpNodeData.h"

class QXUIScan;
class TreeStore;

class QXTimeMgr {
public:
    // The one manager, made on first use and never destroyed.
    static QXTimeMgr& share();

    QXTimeMgr();
    QXTimeMgr(const QXTimeMgr&) = delete;
    QXTimeMgr& operator=(const QXTimeMgr&) = delete;

    // Where folders are made (not owned). Without a store nothing is filed.
    // Answers the store it replaces. Another store starts the tree over;
    // call it under the tree lock, or before any refresh.
    TreeStore* SetTreeStore(TreeStore* store);
    // The scan bridge whose date lists are filed (not owned); the process's
    // own by default, null restores it.
    void SetScan(QXUIScan* scan);
    // "Now", for the folders' times; the system clock by default, an empty
    // function restores it.
    void SetClock(std::function<std::time_t()> now);

    // Long refreshes file at most `nodes` nodes at a time; between two
    // slices `between` runs (tree lock held; it may let the lock go for a
    // moment) and answers false when the refresh must stop because the
    // outlines were reset. A refresh that finds its tree changed by another
    // one meanwhile stops too: that one went on from the processed counts.
    // Without `between` (or with 0 nodes) a refresh files all at once.
    void SetSlicing(std::size_t nodes, std::function<bool()> between);

    // [tree lock] Files under `root` the nodes the scan bridge filed by the
    // key's time since the last refresh: 2 creation, 3 modification; 4 (last
    // access) and any other key file nothing.
    void refreshTimeTree(OpNodeData* root, int key);
    // [tree lock] Puts one file into its month folder under the date root,
    // making the year and month folders when missing. The time used is the
    // root's own key (its type: 2 creation, 3 modification), whatever view
    // is shown: a scan shown by path still fills the date trees.
    void AddFileNode(IFileNode* node, OpNodeData* root);
    // [tree lock] A new year folder under the root, in name order.
    OpNodeData* insertYear(int year, OpNodeData* root);
    // [tree lock] A new month folder under the year folder, in name order.
    OpNodeData* insertMonth(int month, int year, OpNodeData* yearFolder);
    // Where a folder of that name goes among the children: before the first
    // whose name compares greater without regard to case; -1 when none does.
    static int GetDateInsertIndex(const std::string& name, const std::vector<OpChild>& children);

    // [tree lock] The processed count of a month in the key's index map (0
    // when absent, and for keys other than 2, 3, 4), and its setter.
    int getIndex(int year, int month, int key) const;
    void setIndex(int count, int year, int month, int key);
    // [tree lock] Empties the three index maps.
    void initMap();
    // [tree lock] Starts both trees anew (scan start, restore, search start)
    // and marks both for a rebuild.
    void clear();
    // [tree lock] The same as clear; a search replaces the trees.
    void setSearch(int flag);

    // By the view shown (the scan bridge's view type): the trees not shown
    // must be rebuilt when the user turns to them.
    void QXSetNeedRefreshTree();
    void QXResetNeedRefreshTree();
    int QXGetNeedRefreshTree() const;

    // The month folder's time for a year and month: now, with the year and
    // month replaced and the day set to the 1st, so that no day the month
    // lacks rolls it into the next month.
    std::time_t MonthTime(int year, int month) const;

private:
    using YearDic = std::unordered_map<int, OpNodeData*>;
    using MonthDic = std::unordered_map<OpNodeData*, std::map<int, OpNodeData*>>;
    // What a date tree's folders were made for.
    struct Owner {
        OpNodeData* root = nullptr;
        std::uint64_t generation = 0;
    };

    QXUIScan& Scan() const;
    // The dictionaries and index map of a key (2 or 3); false for others.
    bool DicsOf(int key, YearDic** years, MonthDic** months);
    std::map<int, std::size_t>* IndexOf(int key);
    const std::map<int, std::size_t>* IndexOf(int key) const;
    // Forgets the key's folders and counts when the root or the store's
    // generation is not the one they were made for.
    void Adopt(int key, OpNodeData* root);
    void File(IFileNode* node, OpNodeData* root, int key, int year, int month);
    // The month folder of a year and month under the root, made with its
    // year folder when missing; null for a key or date that has none.
    OpNodeData* MonthFolder(OpNodeData* root, int key, int year, int month);
    // Counts the refreshes and resets of a key's tree (index 0 creation, 1
    // modification): a sliced refresh that finds it changed after letting
    // the lock go stops.
    std::uint64_t& PassOf(int key) { return m_pass[key == kOpTreeModify ? 1 : 0]; }
    OpNodeData* MakeFolder(const std::string& name, int key, std::uint32_t expandable, OpNodeData* parent);

    TreeStore* m_store = nullptr;
    QXUIScan* m_scan = nullptr;
    std::function<std::time_t()> m_now;
    YearDic createYearTimeDic, modifyYearTimeDic;
    MonthDic createMonthTimeDic, modifyMonthTimeDic;
    Owner m_createOwner, m_modifyOwner;
    std::map<int, std::size_t> createTimeMap, modifyTimeMap, accessTimeMap;
    int _iKeyType = 0;
    std::uint64_t m_pass[2] = {0, 0};
    std::size_t m_sliceNodes = 0;
    std::function<bool()> m_between;
    std::atomic<int> iCreateTimeTreeNeedRefresh{0}, iModifyTimeTeeeNeedRefresh{0};
};
