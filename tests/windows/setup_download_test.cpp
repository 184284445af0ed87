// The installer download over Wine's WinHTTP.

#include <gtest/gtest.h>

#include <windows.h>

#include "setup/setup_download_win32.h"
#include "setup/setup_staging_win32.h"
#include "support/error_message.h"
#include "support/setup_support_win32.h"

namespace {

std::uint64_t FileSize(HANDLE file) {
    LARGE_INTEGER size{};
    return ::GetFileSizeEx(file, &size) ? static_cast<std::uint64_t>(size.QuadPart) : ~std::uint64_t{0};
}

}  // namespace

// The path names the processor the system runs on.
TEST(SetupArchitecture, NamesTheNativeProcessor) {
#if defined(__aarch64__) || defined(_M_ARM64)
    EXPECT_EQ(SetupArchitecture(), "arm64");
#else
    EXPECT_EQ(SetupArchitecture(), "x64");
#endif
}

// A refused connection fails the send: the step's own message, no code, and
// nothing written.
TEST(DownloadSetup, ReportsARefusedConnectionAsAFailedDownload) {
    SetupStaging staging(false);
    StagedSetupFile file = CreateStagedSetupFile(staging);
    EXPECT_EQ(MessageOf([&] {
                  DownloadSetupFrom(file.write.get(), SetupEndpoint{"127.0.0.1", 1});
              }),
              "Quorl Tholm download failed.");
    EXPECT_EQ(FileSize(file.write.get()), 0u);
}
