#pragma once
// A test that cannot run here (it needs root, loop devices, another user)
// skips on a developer's machine, but under CI (the CI variable set) a skip
// would hide a test that never ran: there it fails instead.

#include <gtest/gtest.h>

#include <cstdlib>

namespace quillory_test {

inline bool RunningUnderCi() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && *ci != '\0';
}

}  // namespace quillory_test

// Use as a statement in a test body or SetUp: returns from it either way.
#define QUILLORY_SKIP_OUTSIDE_CI(reason)                                                      \
    do {                                                                                      \
        if (::quillory_test::RunningUnderCi()) FAIL() << "would skip under CI: " << (reason); \
        GTEST_SKIP() << (reason);                                                             \
    } while (0)
