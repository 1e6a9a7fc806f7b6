#include <gtest/gtest.h>

#include "foundation/EngineResult.h"

TEST(EngineResult, PacksFailureModuleLineAndError) {
    struct Case {
        std::uint8_t module;
        std::uint16_t line;
        std::uint32_t error;
        EngineResult expected;
    } cases[] = {
        {ENGINE_MODULE_SCAN, 87, 0x401, 0x104005700000401ull},
        {ENGINE_MODULE_STORAGE, 0, 5, 0x10E000000000005ull},
        {ENGINE_MODULE_NTFS_QUICK, 0xFFFF, 0xFFFFFFFF, 0x112FFFFFFFFFFFFull},
        {ENGINE_MODULE_PARTITION_TABLE, 1, 0, 0x110000100000000ull},
    };
    for (const Case& c : cases) {
        const EngineResult r = MakeEngineResult(c.module, c.line, c.error);
        EXPECT_EQ(r, c.expected);
        EXPECT_NE(r >> 56, 0u);
        EXPECT_TRUE(IsEngineFailure(r));
        EXPECT_EQ(EngineResultModule(r), c.module);
        EXPECT_EQ(EngineResultLine(r), c.line);
        EXPECT_EQ(EngineResultError(r), c.error);
        EXPECT_EQ(r >> 48, 0x100u | c.module);
    }
    EXPECT_FALSE(IsEngineFailure(ENGINE_OK));
    // Error numbers alone (no failure byte) are not failures.
    EXPECT_FALSE(IsEngineFailure(0x0000FFFFFFFFFFFFull));
}

TEST(EngineResult, MacroStampsTheLine) {
    const EngineResult r = ENGINE_ERROR(ENGINE_MODULE_FILE_WRITER, 0xD03);
    EXPECT_EQ(EngineResultLine(r), __LINE__ - 1);
    EXPECT_EQ(EngineResultModule(r), 0x0d);
    EXPECT_EQ(EngineResultError(r), 0xD03u);
}
