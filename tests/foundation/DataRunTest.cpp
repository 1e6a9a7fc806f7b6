#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "foundation/DataRun.h"

namespace {

std::vector<std::pair<std::int64_t, std::int64_t>> Runs(IDataRunList& list) {
    std::vector<std::pair<std::int64_t, std::int64_t>> out;
    for (DataRun* r = list.GetFirst(); r; r = list.GetNext()) out.emplace_back(r->start, r->length);
    return out;
}

using RunVec = std::vector<std::pair<std::int64_t, std::int64_t>>;

}  // namespace

TEST(DataRunList, MergesOnlyAContinuationOfTheLastRun) {
    constexpr std::int64_t kMax = INT64_MAX;
    struct Case {
        const char* what;
        RunVec added;
        RunVec expected;
    } cases[] = {
        {"adjacent then gap", {{100, 8}, {108, 4}, {200, 1}}, {{100, 12}, {200, 1}}},
        {"sparse then data", {{-1, 16}, {15, 4}}, {{-1, 16}, {15, 4}}},
        {"data then sparse", {{100, 8}, {-1, 4}}, {{100, 8}, {-1, 4}}},
        {"two sparse", {{-1, 4}, {-1, 4}}, {{-1, 4}, {-1, 4}}},
        {"never with an earlier run", {{0, 4}, {10, 2}, {4, 6}}, {{0, 4}, {10, 2}, {4, 6}}},
        {"ends exactly at the top", {{kMax - 5, 5}, {kMax, 0}}, {{kMax - 5, 5}}},
        {"end overflows", {{kMax - 1, 5}, {3, 1}}, {{kMax - 1, 5}, {3, 1}}},
        {"length overflows", {{0, kMax}, {kMax, 5}}, {{0, kMax}, {kMax, 5}}},
        {"huge start, wrapped end", {{kMax, kMax}, {-2, 1}}, {{kMax, kMax}, {-2, 1}}},
    };
    for (const Case& c : cases) {
        CDataRunList list;
        for (const auto& [start, length] : c.added) {
            DataRun r{start, length};
            list.AddDataRun(&r);
        }
        EXPECT_EQ(Runs(list), c.expected) << c.what;
    }
}

TEST(DataRunList, CursorCloneAndDefaults) {
    IDataRunList* list = CreateDataRunList();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->IsDone(), 1);
    EXPECT_EQ(list->GetFirst(), nullptr);
    EXPECT_EQ(list->GetNext(), nullptr);
    EXPECT_EQ(list->IsResident(), 0);
    EXPECT_EQ(list->GetOffset(), 0);
    EXPECT_EQ(list->GetDataRunListType(), 5);
    list->AddDataRun(nullptr);
    EXPECT_EQ(list->GetFirst(), nullptr);

    DataRun a{10, 2}, b{50, 3};
    list->AddDataRun(&a);
    list->AddDataRun(&b);
    EXPECT_EQ(list->IsDone(), 1);  // before the first GetFirst
    ASSERT_NE(list->GetFirst(), nullptr);
    EXPECT_EQ(list->IsDone(), 0);
    ASSERT_NE(list->GetNext(), nullptr);
    EXPECT_EQ(list->IsDone(), 0);
    EXPECT_EQ(list->GetNext(), nullptr);
    EXPECT_EQ(list->IsDone(), 1);

    IDataRunList* copy = list->Clone();
    ASSERT_NE(copy, nullptr);
    copy->GetFirst()->length = 99;
    DataRun c{53, 1};
    copy->AddDataRun(&c);
    EXPECT_EQ(Runs(*list), (RunVec{{10, 2}, {50, 3}}));
    EXPECT_EQ(Runs(*copy), (RunVec{{10, 99}, {50, 4}}));
    list->Release();
    EXPECT_EQ(Runs(*copy), (RunVec{{10, 99}, {50, 4}}));
    copy->Release();
}
