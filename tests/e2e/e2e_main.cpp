// tests/e2e/e2e_main.cpp - main() of every e2e test binary (library kel_e2e_support).
//
// Like GTest::gtest_main, plus one thing CTest needs: when the mail stack is not there (and
// KEL_E2E_REQUIRED is not 1), the binary exits 77, the e2e tests' SKIP_RETURN_CODE, so CTest
// reports "Skipped" and never "Passed". (A SKIP_REGULAR_EXPRESSION would also hide real failures:
// CTest lets a matching skip pattern win over a non-zero exit.)
#include <cstdio>

#include <gtest/gtest.h>

#include "mailstack_env.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();

    const kel::e2e::StackCheck c = kel::e2e::check_stack();
    if (c.state == kel::e2e::StackState::skip) {
        std::printf("[  SKIPPED ] every test of %s: %s\n", argv[0], c.message.c_str());
        std::fflush(stdout);
        return kel::e2e::kSkipExitCode;
    }
    if (c.state == kel::e2e::StackState::fail) {
        std::printf("[  FAILED  ] %s: %s\n", argv[0], c.message.c_str());
        std::fflush(stdout);
        return 1;
    }
    int rc = RUN_ALL_TESTS();
    if (rc == 0 && kel::e2e::skipped_for_stack()) return kel::e2e::kSkipExitCode;
    return rc;
}
