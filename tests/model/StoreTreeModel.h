#pragma once
// An item model over one outline of a TreeStore, as the browser's outline
// models are meant to read it:
//   - it remembers the store's generation at each reset, and asks only
//     about that generation;
//   - each folder's child rows are copied under the lock the first time the
//     view asks for them, and kept until the next reset, so the rows a view
//     was told of never move under it while the scan and the search go on;
//   - every field is read through the store's locked reader; the rows'
//     addresses serve only as keys, so a retired generation (answering "no
//     rows") is never read, even before its memory is freed.
// The model is reset on the notifications that announce new content.

#include <QAbstractItemModel>
#include <unordered_map>
#include <vector>

#include "model/TreeStore.h"

class StoreTreeModel : public QAbstractItemModel {
public:
    StoreTreeModel(TreeStore& store, int list) : m_store(store), m_list(list), m_generation(store.Generation()) {}

    void Reload() {
        beginResetModel();
        m_generation = m_store.Generation();
        m_children.clear();
        m_place.clear();
        endResetModel();
    }

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override {
        if (!hasIndex(row, column, parent)) return {};
        return createIndex(row, column, Children(RowOf(parent))[static_cast<std::size_t>(row)]);
    }

    QModelIndex parent(const QModelIndex& child) const override {
        if (!child.isValid()) return {};
        auto it = m_place.find(RowOf(child));
        if (it == m_place.end() || it->second.parent == nullptr) return {};
        auto up = m_place.find(it->second.parent);
        if (up == m_place.end()) return {};
        return createIndex(up->second.index, 0, it->second.parent);
    }

    int rowCount(const QModelIndex& parent = {}) const override {
        if (parent.column() > 0) return 0;
        return static_cast<int>(Children(RowOf(parent)).size());
    }

    int columnCount(const QModelIndex& = {}) const override { return 2; }

    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::CheckStateRole)) return {};
        OpRowFields fields;
        if (!m_store.Fields(m_generation, OpChild{RowOf(index), nullptr}, fields)) return {};
        if (role == Qt::CheckStateRole)
            return index.column() == 0 ? QVariant(static_cast<int>(fields.state)) : QVariant();
        if (index.column() == 0) return QString::fromStdString(fields.name);
        return fields.childCount;
    }

    std::uint64_t generation() const { return m_generation; }

private:
    struct Place {
        OpNodeData* parent;
        int index;
    };

    static OpNodeData* RowOf(const QModelIndex& index) {
        return index.isValid() ? static_cast<OpNodeData*>(index.internalPointer()) : nullptr;
    }

    const std::vector<OpNodeData*>& Children(OpNodeData* parent) const {
        auto it = m_children.find(parent);
        if (it != m_children.end()) return it->second;
        std::vector<OpNodeData*> rows;
        // Folder rows only: the files of a folder belong to the file list.
        m_store.Read(m_generation, [&] {
            if (parent == nullptr) {
                rows = const_cast<TreeStore&>(m_store).Roots(m_list);
            } else {
                for (const OpChild& child : parent->children())
                    if (child.obj != nullptr) rows.push_back(child.obj);
            }
        });
        for (std::size_t i = 0; i < rows.size(); ++i) m_place[rows[i]] = Place{parent, static_cast<int>(i)};
        return m_children.emplace(parent, std::move(rows)).first->second;
    }

    TreeStore& m_store;
    int m_list;
    std::uint64_t m_generation;
    mutable std::unordered_map<OpNodeData*, std::vector<OpNodeData*>> m_children;
    mutable std::unordered_map<OpNodeData*, Place> m_place;
};
