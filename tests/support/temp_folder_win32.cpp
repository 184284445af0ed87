#include "support/temp_folder_win32.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "os/handles_win32.h"

namespace {

std::atomic<unsigned> nextFolder{0};

}  // namespace

TempFolder::TempFolder(const std::wstring& tag) {
    wchar_t temp[MAX_PATH + 1];
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, temp);
    if (n == 0 || n > MAX_PATH) throw std::runtime_error("GetTempPathW failed");
    // Wine reuses small process ids from run to run: the tick count keeps a
    // folder left by a crashed run from colliding with a new one.
    path_ = std::wstring(temp, n) + L"qsb-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
            std::to_wstring(::GetTickCount64()) + L"-" + std::to_wstring(nextFolder.fetch_add(1)) + L"-" + tag;
    MakeFolder(path_);
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(path_), ignored);
}

void MakeFolder(const std::wstring& path) {
    if (!::CreateDirectoryW(path.c_str(), nullptr)) throw std::runtime_error("CreateDirectoryW failed");
}

void WriteTestFile(const std::wstring& path, const std::string& bytes) {
    UniqueHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) throw std::runtime_error("CreateFileW failed: " + std::to_string(::GetLastError()));
    DWORD wrote = 0;
    if (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr) ||
        wrote != bytes.size()) {
        throw std::runtime_error("WriteFile failed");
    }
}

std::string ReadTestFile(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

AllowlistFile::AllowlistFile(const std::vector<std::string>& pipes) {
    MakeFolder(folder_);
    std::string content;
    for (const std::string& pipe : pipes) content += pipe + "\n";
    if (!pipes.empty()) WriteTestFile(file_, content);
}
