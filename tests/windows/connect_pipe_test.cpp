// ConnectPipe end to end under Wine: the allowlist file, the test pipe server
// in another process, the real waits and the real scheduler. The schedule
// itself is covered natively against a fake clock; these tests check that the
// real calls are wired to it.

#include <gtest/gtest.h>

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "activation/connect_pipe_win32.h"
#include "pipes/pipe_io_win32.h"
#include "pipes/pipe_path.h"
#include "support/error_message.h"
#include "support/registrations_folder_win32.h"
#include "support/scheduled_task_win32.h"
#include "support/temp_folder_win32.h"
#include "support/test_pipe_server_win32.h"
#include "text/current_user_win32.h"
#include "text/wide_win32.h"

namespace {

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }
std::string UserSid() { return WideToUtf8(CurrentUserSid()); }

std::string Connect(const std::string& pipe, const AllowlistFile& allowlist, ConnectedPipe& connected) {
    const WideString path = FromWin(allowlist.Path().c_str(), allowlist.Path().size());
    return MessageOf([&] { connected = ConnectPipe(pipe, path); });
}

DWORD HandleCount() {
    DWORD count = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &count);
    return count;
}

// Writes `text` through the pipe and reads the same number of bytes back.
std::string EchoThrough(HANDLE pipe, const std::string& text) {
    const UniqueHandle cancel(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::string out = text;
    PipeTransfer(pipe, cancel.get(), out.data(), static_cast<std::uint32_t>(out.size()), true);
    std::string back(text.size(), '\0');
    std::size_t got = 0;
    while (got < back.size()) {
        const std::uint32_t n =
            PipeTransfer(pipe, cancel.get(), back.data() + got, static_cast<std::uint32_t>(back.size() - got), false);
        if (n == 0) break;
        got += n;
    }
    back.resize(got);
    return back;
}

// Records what this test program asks of CreateFileW while it lives, by
// swapping the function's slot in the program's own import table (the
// product's code is linked in, so its calls go through that slot). Wine gives
// a pipe server the client's token at impersonation level whatever the client
// asked for, so the flags of a real open can only be seen on their way in.
class CreateFileRecorder {
public:
    struct Call {
        std::wstring path;
        DWORD access;
        DWORD share;
        DWORD disposition;
        DWORD flags;
    };

    CreateFileRecorder() : slot_(ImportSlot("kernel32.dll", "CreateFileW")) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            calls_.clear();
        }
        if (slot_ != nullptr) original_ = Swap(reinterpret_cast<ULONG_PTR>(&Record));
    }
    ~CreateFileRecorder() {
        if (slot_ != nullptr) Swap(original_);
    }
    CreateFileRecorder(const CreateFileRecorder&) = delete;
    CreateFileRecorder& operator=(const CreateFileRecorder&) = delete;

    bool Installed() const { return slot_ != nullptr; }
    std::vector<Call> CallsFor(const std::string& path) const {
        const std::wstring wanted = Wide(path);
        const std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Call> found;
        for (const Call& call : calls_) {
            if (::lstrcmpiW(call.path.c_str(), wanted.c_str()) == 0) found.push_back(call);
        }
        return found;
    }

private:
    static HANDLE WINAPI Record(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                                DWORD disposition, DWORD flags, HANDLE model) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            calls_.push_back(Call{path != nullptr ? path : L"", access, share, disposition, flags});
        }
        // Through the saved entry: a call by name would come back here.
        const auto createFile = reinterpret_cast<decltype(&::CreateFileW)>(original_);
        return createFile(path, access, share, attributes, disposition, flags, model);
    }

    // The import address table entry of `function` from `dll`, found by name.
    static ULONG_PTR* ImportSlot(const char* dll, const char* function) {
        auto* const base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
        const auto* const dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* const nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name != 0; ++d) {
            if (::lstrcmpiA(reinterpret_cast<const char*>(base + d->Name), dll) != 0) continue;
            auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
            auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
            for (; names->u1.AddressOfData != 0; ++names, ++slots) {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
                const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) {
                    return reinterpret_cast<ULONG_PTR*>(&slots->u1.Function);
                }
            }
        }
        return nullptr;
    }

    ULONG_PTR Swap(ULONG_PTR to) {
        DWORD was = 0;
        ::VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &was);
        const ULONG_PTR before = *slot_;
        *slot_ = to;
        ::VirtualProtect(slot_, sizeof *slot_, was, &was);
        return before;
    }

    ULONG_PTR* slot_;
    static inline ULONG_PTR original_ = 0;
    static inline std::mutex mutex_;
    static inline std::vector<Call> calls_;
};

}  // namespace

// A listed pipe served by a process of the current user is opened at once and
// handed over usable, with the empty label of a pipe without identity.
TEST(ConnectPipeOnWine, OpensAServedPipeAndHandsItOver) {
    const std::string name = UniqueTestPipeName("served");
    AllowlistFile allowlist({name});
    TestPipeServer server(name, {L"--mode", L"echo"});

    ConnectedPipe connected;
    ASSERT_EQ(Connect(name, allowlist, connected), "(no error)");
    ASSERT_TRUE(connected.pipe.held());
    EXPECT_EQ(connected.label, "");
    EXPECT_EQ(EchoThrough(connected.pipe.get(), "ping"), "ping");
}

// The pipe is opened so that its server may identify the user but never act
// as the user, with no access beyond reading and writing data, reading its
// security and waiting on it, and shared with nobody.
TEST(ConnectPipeOnWine, OpensThePipeSoThatTheServerCanOnlyIdentifyTheUser) {
    const std::string name = UniqueTestPipeName("identify");
    AllowlistFile allowlist({name});
    TestPipeServer server(name, {L"--mode", L"echo"});

    ConnectedPipe connected;
    std::vector<CreateFileRecorder::Call> opens;
    {
        const CreateFileRecorder recorder;
        ASSERT_TRUE(recorder.Installed());
        ASSERT_EQ(Connect(name, allowlist, connected), "(no error)");
        opens = recorder.CallsFor(name);
    }
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].access, static_cast<DWORD>(FILE_READ_DATA | FILE_WRITE_DATA | READ_CONTROL | SYNCHRONIZE));
    EXPECT_EQ(opens[0].flags,
              static_cast<DWORD>(FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION));
    EXPECT_EQ(opens[0].share, 0u);
    EXPECT_EQ(opens[0].disposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(EchoThrough(connected.pipe.get(), "ping"), "ping");
}

// A pipe named for the current user and owned by the user carries its label.
TEST(ConnectPipeOnWine, LabelsAPipeWithTheUsersIdentity) {
    const std::string name = ValidatePipePath(UniqueTestPipeName("own") + "." + UserSid());
    AllowlistFile allowlist({name});
    const std::string sddl = "O:" + UserSid() + "D:(A;;FA;;;" + UserSid() + ")(A;;FR;;;WD)";
    TestPipeServer server(name, {L"--sddl", Wide(sddl), L"--mode", L"hold"});

    ConnectedPipe connected;
    ASSERT_EQ(Connect(name, allowlist, connected), "(no error)");
    const std::string suffix = " / " + PipeBaseName(name);
    ASSERT_GT(connected.label.size(), suffix.size());
    EXPECT_EQ(connected.label.substr(connected.label.size() - suffix.size()), suffix);
}

// A pipe that names another owner than the one it has is refused, and the
// handle opened for the check does not outlive the call.
TEST(ConnectPipeOnWine, RefusesAWrongOwnerAndClosesTheHandle) {
    const std::string name = ValidatePipePath(UniqueTestPipeName("impostor") + ".s-1-5-18");
    AllowlistFile allowlist({name});
    const std::string sddl = "O:" + UserSid() + "D:(A;;FA;;;" + UserSid() + ")";
    TestPipeServer server(name, {L"--sddl", Wide(sddl), L"--mode", L"hold"});

    ConnectedPipe connected;
    const DWORD before = HandleCount();
    EXPECT_EQ(Connect(name, allowlist, connected), "The named pipe owner does not match the SID in its name.");
    EXPECT_EQ(HandleCount(), before);
    EXPECT_FALSE(connected.pipe.held());
}

// An allowlist entry may name the account that serves its pipe: the pipe is
// then held to that SID as if its name carried it (owner, DACL, label) and
// labelled for it. Without served-by the pipe is judged as today: a pipe of
// LocalSystem passes only because this test's server process is the user's
// (a real service's process is refused, see the native tables), while one
// owned by another service account is refused by its owner.
TEST(ConnectPipeOnWine, HoldsAServedByPipeToTheAccountItNames) {
    const std::string widened = "The named pipe allows another principal to create servers or change its identity.";
    const std::string usual = "D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;WD)";
    struct Row {
        const char* tag;
        std::string nameSuffix;  // after the unique name: a SID the name carries
        std::string clause;      // after the path on the allowlist line
        std::string sddl;
        std::string expected;
        std::string label;  // "SYSTEM" for "SYSTEM / " and the base name
    };
    const std::vector<Row> rows = {
        {"system", "", " served-by S-1-5-18", "O:SY" + usual, "(no error)", "SYSTEM"},
        {"systemtab", "", "\t served-by\tS-1-5-18 ", "O:SY" + usual, "(no error)", "SYSTEM"},
        {"systemplain", "", "", "O:SY" + usual, "(no error)", ""},
        {"service", "", "", "O:S-1-5-19" + usual,
         "Named pipes without a canonical identity must be owned by the current user.", ""},
        {"otherowner", "", " served-by S-1-5-19", "O:SY" + usual,
         "The named pipe owner does not match the served-by SID in the allowlist.", ""},
        {"widened", "", " served-by S-1-5-18", "O:SY" + usual + "(A;;GA;;;WD)", widened, ""},
        {"low", "", " served-by S-1-5-18", "O:SY" + usual + "S:(ML;;NW;;;LW)",
         "The named pipe integrity label is below medium.", ""},
        {"malformed", "", " served-by S-1-5-018", "O:SY" + usual,
         "Named pipe allowlist entries may only add served-by and a SID such as S-1-5-18 after the pipe path.", ""},
        {"named", ".s-1-5-18", " served-by S-1-5-18", "O:SY" + usual, "(no error)", "SYSTEM"},
        {"contradicted", ".s-1-5-18", " served-by S-1-5-19", "O:S-1-5-19" + usual,
         "A served-by in the named pipe allowlist must repeat the SID in the pipe name.", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.tag);
        const std::string name = ValidatePipePath(UniqueTestPipeName(row.tag) + row.nameSuffix);
        AllowlistFile allowlist({name + row.clause});
        TestPipeServer server(name, {L"--sddl", Wide(row.sddl), L"--mode", L"echo"});

        ConnectedPipe connected;
        EXPECT_EQ(Connect(name, allowlist, connected), row.expected);
        if (row.expected != "(no error)") {
            EXPECT_FALSE(connected.pipe.held());
            continue;
        }
        EXPECT_EQ(connected.label, row.label.empty() ? "" : row.label + " / " + PipeBaseName(name));
        EXPECT_EQ(EchoThrough(connected.pipe.get(), "ping"), "ping");
    }
}

// A missing pipe is given up with error 2, and a pipe whose only instance is
// taken with error 231 (each after the 5 s wait, in real time).
TEST(ConnectPipeOnWine, GivesUpOnMissingAndBusyPipes) {
    const std::string missing = UniqueTestPipeName("missing");
    const std::string busy = UniqueTestPipeName("busy");
    AllowlistFile allowlist({missing, busy});
    RegistrationsFolder registrations;
    if (registrations.Exists()) GTEST_SKIP() << "org.quorlssh exists already";

    ConnectedPipe connected;
    EXPECT_EQ(Connect(missing, allowlist, connected), "The named pipe app is unavailable (Windows error 2).");

    TestPipeServer server(busy, {L"--mode", L"hold", L"--instances", L"1"});
    PipeClientOpen first = OpenPipeClient(busy);
    ASSERT_TRUE(first.pipe.held()) << first.error;
    EXPECT_EQ(Connect(busy, allowlist, connected), "The named pipe app is unavailable (Windows error 231).");
}

// A registered pipe whose task path names no task is reported with the task
// path and the scheduler's HRESULT for a missing task.
TEST(ConnectPipeOnWine, ReportsARegisteredTaskThatDoesNotExist) {
    const std::string name = UniqueTestPipeName("registered");
    AllowlistFile allowlist({name});
    RegistrationsFolder registrations;
    if (registrations.Exists()) GTEST_SKIP() << "org.quorlssh exists already";
    const std::string task = "\\" + WideToUtf8(UniqueTaskName());
    registrations.Write(name + "\t" + task + "\n");

    ConnectedPipe connected;
    EXPECT_EQ(Connect(name, allowlist, connected), "Could not activate task " + task + " (HRESULT 0x80070002).");
}
