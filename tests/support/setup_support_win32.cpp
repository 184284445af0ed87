#include "support/setup_support_win32.h"

#include <windows.h>
#include <aclapi.h>
#include <objbase.h>
#include <sddl.h>
#include <shlobj.h>
#include <taskschd.h>

#include <stdexcept>

#include "os/handles_win32.h"
#include "taskscheduler/task_scheduler_win32.h"

namespace {

void AddMatches(const std::wstring& root, std::set<std::wstring>& found) {
    std::wstring folder = root;
    if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
    WIN32_FIND_DATAW entry{};
    const HANDLE search = ::FindFirstFileW((folder + L"QuorlTholm-Setup-*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        found.insert(folder + entry.cFileName);
    } while (::FindNextFileW(search, &entry));
    ::FindClose(search);
}

}  // namespace

std::set<std::wstring> StagingDirectoriesNow() {
    std::set<std::wstring> found;
    wchar_t buffer[MAX_PATH] = {};
    if (::GetTempPathW(MAX_PATH, buffer) != 0) AddMatches(buffer, found);
    if (SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, buffer))) AddMatches(buffer, found);
    return found;
}

std::wstring DaclAsSddl(const std::wstring& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                nullptr, &descriptor) != ERROR_SUCCESS) {
        return L"(unreadable)";
    }
    UniqueLocalMemory owned(descriptor);
    LPWSTR text = nullptr;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                &text, nullptr)) {
        return L"(unreadable)";
    }
    UniqueLocalMemory ownedText(text);
    return text;
}

bool RootTaskExists(const std::wstring& name) {
    const UniqueComApartment apartment = EnterComApartment("COM is not available");
    UniqueCom<ITaskService> service;
    VARIANT empty;
    ::VariantInit(&empty);
    if (FAILED(::CoCreateInstance(__uuidof(TaskScheduler), nullptr, CLSCTX_INPROC_SERVER, __uuidof(ITaskService),
                                  reinterpret_cast<void**>(service.put()))) ||
        FAILED(service.get()->Connect(empty, empty, empty, empty))) {
        throw std::runtime_error("Task Scheduler is not available");
    }
    UniqueBstr root(::SysAllocString(L"\\"));
    UniqueBstr taskName(::SysAllocString(name.c_str()));
    UniqueCom<ITaskFolder> folder;
    if (FAILED(service.get()->GetFolder(root.get(), folder.put()))) throw std::runtime_error("no root task folder");
    UniqueCom<IRegisteredTask> task;
    const HRESULT found = folder.get()->GetTask(taskName.get(), task.put());
    if (found == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) return false;
    if (FAILED(found)) throw std::runtime_error("GetTask failed");
    return true;
}

std::string ReadWholeFile(const std::wstring& path) {
    UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    if (!file) throw std::runtime_error("cannot open file to read");
    std::string bytes;
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) throw std::runtime_error("read failed");
        if (got == 0) return bytes;
        bytes.append(buffer, got);
    }
}

void WriteAll(HANDLE file, const std::string& bytes) {
    DWORD wrote = 0;
    if (!::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr) || wrote != bytes.size()) {
        throw std::runtime_error("write failed");
    }
}
