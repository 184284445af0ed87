// --install-quorl-tholm end to end: with no way to reach the download host
// here, the download's failure is the one line on standard error.

#include <gtest/gtest.h>

#include "support/child_process_win32.h"
#include "support/setup_support_win32.h"

TEST(InstallQuorlTholmE2E, FailsWithTheDownloadMessageAndLeavesNothing) {
    const std::set<std::wstring> before = StagingDirectoriesNow();
    const ProgramResult result = RunProduct({L"--install-quorl-tholm"}, std::string(), 120000);
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Quorl Tholm download failed.\r\n");
    EXPECT_EQ(StagingDirectoriesNow(), before);
}
