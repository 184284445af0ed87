// ConnectPipe under Wine with everything real: the allowlist file, the test
// pipe server in another process with a chosen descriptor (Wine keeps the
// owner, DACL and label given), the security read back through the client
// handle, the waits, the registrations file and the scheduler. The rules
// themselves are tables in the unit tests; these show that the real calls
// feed them what the system reports.

#include <gtest/gtest.h>

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "activation/connect_pipe_win32.h"
#include "pipes/pipe_io_win32.h"
#include "pipes/pipe_path.h"
#include "pipes/pipe_security_win32.h"
#include "support/error_message.h"
#include "support/process_usage_win32.h"
#include "support/scheduled_task_win32.h"
#include "support/temp_folder_win32.h"
#include "support/test_pipe_server_win32.h"
#include "text/current_user_win32.h"
#include "text/wide_win32.h"

namespace {

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }
std::string UserSid() { return WideToUtf8(CurrentUserSid()); }

std::string UserName() {
    wchar_t user[256];
    DWORD length = 256;
    return ::GetUserNameW(user, &length) ? WideToUtf8(FromWin(user)) : "?";
}

// Full control for `owner`, LocalSystem and Administrators; read for everyone.
std::string UsualSddl(const std::string& owner) {
    return "O:" + owner + "D:(A;;FA;;;" + owner + ")(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;WD)";
}

std::string Connect(const std::string& pipe, const AllowlistFile& allowlist, ConnectedPipe& connected) {
    const WideString path = FromWin(allowlist.Path().c_str(), allowlist.Path().size());
    return MessageOf([&] { connected = ConnectPipe(pipe, path); });
}

// The user's activation registrations (LocalAppData\org.quorlssh), removed
// with the folder when the test ends unless the folder was there before.
struct Registrations {
    Registrations() {
        PWSTR known = nullptr;
        if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &known))) {
            folder = std::wstring(known) + L"\\org.quorlssh";
        }
        ::CoTaskMemFree(known);
        existed = folder.empty() || ::GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    ~Registrations() {
        std::error_code ignored;
        if (!existed) std::filesystem::remove_all(std::filesystem::path(folder), ignored);
    }
    std::wstring folder;
    bool existed;
};

// What this test program asks of CreateFileW for one path: access, share,
// disposition and flags of each open, recorded by RecordCreateFile once it
// takes the function's slot in the program's own import table (the product's
// code is linked in, so its calls go through that slot). Wine gives a pipe
// server the client's token at impersonation level whatever the client asked
// for, so the flags of a real open can only be seen on their way in.
std::wstring recordedPath;
std::vector<std::vector<DWORD>> recordedOpens;
ULONG_PTR originalCreateFile = 0;

HANDLE WINAPI RecordCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                               DWORD disposition, DWORD flags, HANDLE model) {
    if (path != nullptr && ::lstrcmpiW(path, recordedPath.c_str()) == 0) {
        recordedOpens.push_back({access, share, disposition, flags});
    }
    // Through the saved entry: a call by name would come back here.
    return reinterpret_cast<decltype(&::CreateFileW)>(originalCreateFile)(path, access, share, attributes, disposition,
                                                                          flags, model);
}

// The import address table entry of CreateFileW, found by name.
ULONG_PTR* CreateFileSlot() {
    auto* const base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
    const auto* const nt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name != 0; ++d) {
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), "CreateFileW") == 0) {
                return reinterpret_cast<ULONG_PTR*>(&slots->u1.Function);
            }
        }
    }
    return nullptr;
}

// Puts `to` in `slot` and returns what was there.
ULONG_PTR SwapSlot(ULONG_PTR* slot, ULONG_PTR to) {
    DWORD was = 0;
    ::VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &was);
    const ULONG_PTR before = std::exchange(*slot, to);
    ::VirtualProtect(slot, sizeof *slot, was, &was);
    return before;
}

}  // namespace

// The pipe is opened so that its server may identify the user but never act
// as the user, with no access beyond reading and writing data, reading its
// security and waiting on it, and shared with nobody; it is handed over usable.
TEST(ConnectPipeOnWine, OpensThePipeSoThatTheServerCanOnlyIdentifyTheUser) {
    const std::string name = UniqueTestPipeName("identify");
    AllowlistFile allowlist({name});
    TestPipeServer server(name, {});
    ULONG_PTR* const slot = CreateFileSlot();
    ASSERT_NE(slot, nullptr);
    recordedPath = Wide(name);
    originalCreateFile = SwapSlot(slot, reinterpret_cast<ULONG_PTR>(&RecordCreateFile));
    ConnectedPipe connected;
    const std::string message = Connect(name, allowlist, connected);  // never throws
    SwapSlot(slot, originalCreateFile);
    ASSERT_EQ(message, "(no error)");
    const std::vector<DWORD> expected = {FILE_READ_DATA | FILE_WRITE_DATA | READ_CONTROL | SYNCHRONIZE, 0,
                                         OPEN_EXISTING,
                                         FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION};
    EXPECT_EQ(recordedOpens, std::vector<std::vector<DWORD>>{expected});
    const UniqueHandle cancel(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    char ping[] = "ping";
    EXPECT_EQ(PipeTransfer(connected.pipe.get(), cancel.get(), ping, 4, true), 4u);
}

// What the system reports of each pipe, judged: entries that let another
// principal create servers or change the pipe's identity, a wrong owner, a
// null DACL and a low label are refused; entries that read and write data,
// deny, apply only to children or give Owner Rights (one row: any of them read
// wrongly would refuse it) and an empty DACL are accepted. A pipe without identity is
// trusted when this user serves it and owns it, also when Administrators own
// it (an elevated server's instance, labelled high), and refused when another
// account owns it or it is labelled low (a sandbox of the user made it). An
// allowlist entry's served-by holds the pipe to that SID as if its name
// carried it; without one, a pipe of LocalSystem passes only because this
// test's server process is the user's. The label names the owner: the user
// by account name alone, another account with its domain. Nothing the check
// opens outlives it.
TEST(ConnectPipeOnWine, JudgesWhatTheSystemReportsOfThePipe) {
    const std::string user = UserSid();
    const std::string widened = "The named pipe allows another principal to create servers or change its identity.";
    const std::string plainRefused = "Named pipes without a canonical identity must be owned by the current user.";
    const std::string lowLabel = "The named pipe integrity label is below medium.";
    const std::string low = "S:(ML;;NW;;;LW)";
    const std::string ok = "(no error)";
    struct Row {
        const char* tag;
        std::string sid;     // the SID the pipe's name carries, if any
        std::string clause;  // after the path on the allowlist line
        std::vector<std::wstring> server;
        std::string expected;
        std::string owner;  // the label's account, before " / " and the base name
    };
    const auto sddl = [](const std::string& text) { return std::vector<std::wstring>{L"--sddl", Wide(text)}; };
    const std::vector<Row> rows = {
        {"own", user, "", sddl(UsualSddl(user)), ok, UserName()},
        {"system", "S-1-5-18", "", sddl(UsualSddl("SY")), ok, "SYSTEM"},
        {"service", "S-1-5-19", "", sddl(UsualSddl("S-1-5-19")), ok, "NT AUTHORITY\\LOCAL SERVICE"},
        {"wide", user, "", sddl(UsualSddl(user) + "(A;;0x00120116;;;WD)"), widened, ""},
        {"owner", user, "", sddl(UsualSddl("SY")), "The named pipe owner does not match the SID in its name.", ""},
        {"null",
         user,
         "",
         {L"--sddl", Wide("O:" + user), L"--null-dacl"},
         "Could not verify named pipe ownership and permissions.",
         ""},
        {"harmless", user, "", sddl(UsualSddl(user) + "(A;;0x0012008B;;;WD)(D;;GA;;;WD)(A;OICIIO;GA;;;WD)(A;;GA;;;OW)"),
         ok, UserName()},
        {"empty", user, "", sddl("O:" + user + "D:"), ok, UserName()},
        {"low", user, "", sddl(UsualSddl(user) + low), lowLabel, ""},
        {"plain", "", "", {}, ok, ""},
        {"plainmedium", "", "", sddl(UsualSddl(user) + "S:(ML;;NW;;;ME)"), ok, ""},
        {"plainadmin", "", "", sddl(UsualSddl("BA") + "S:(ML;;NW;;;HI)"), ok, ""},
        {"plainsystem", "", "", sddl(UsualSddl("SY")), ok, ""},
        {"plainlow", "", "", sddl(UsualSddl(user) + low), lowLabel, ""},
        {"plainother", "", "", sddl(UsualSddl("S-1-5-19")), plainRefused, ""},
        {"servedby", "", " served-by S-1-5-18", sddl(UsualSddl("SY")), ok, "SYSTEM"},
        {"servedbyother", "", " served-by S-1-5-19", sddl(UsualSddl("SY")),
         "The named pipe owner does not match the served-by SID in the allowlist.", ""},
        {"servedbynamed", "S-1-5-18", " served-by S-1-5-18", sddl(UsualSddl("SY")), ok, "SYSTEM"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.tag);
        const std::string name = ValidatePipePath(UniqueTestPipeName(row.tag) + (row.sid.empty() ? "" : ".") + row.sid);
        AllowlistFile allowlist({name + row.clause});
        TestPipeServer server(name, row.server);
        const DWORD handles = OwnHandleCountBesidesSemaphores();
        ConnectedPipe connected;
        EXPECT_EQ(Connect(name, allowlist, connected), row.expected);
        EXPECT_EQ(connected.pipe.held(), row.expected == ok);
        EXPECT_EQ(connected.label, row.owner.empty() ? "" : row.owner + " / " + PipeBaseName(name));
        connected.pipe.reset();
        EXPECT_EQ(OwnHandleCountBesidesSemaphores(), handles);
    }
}

// A missing pipe is given up with error 2, and a pipe whose only instance is
// taken with error 231 (each after the 5 s wait, in real time). A registered
// pipe is activated through the task the user's registrations file names, read
// anew for each connection, and only while nobody else has it open for writing.
TEST(ConnectPipeOnWine, GivesUpOnMissingAndBusyPipesOrActivatesTheirTask) {
    const std::string missing = UniqueTestPipeName("missing");
    const std::string busy = UniqueTestPipeName("busy");
    AllowlistFile allowlist({missing, busy});
    const Registrations registrations;
    if (registrations.existed) GTEST_SKIP() << "org.quorlssh exists already";
    ConnectedPipe connected;
    EXPECT_EQ(Connect(missing, allowlist, connected), "The named pipe app is unavailable (Windows error 2).");

    TestPipeServer server(busy, {L"--mode", L"hold"});
    PipeClientOpen first = OpenPipeClient(busy);
    ASSERT_TRUE(first.pipe.held()) << first.error;
    EXPECT_EQ(Connect(busy, allowlist, connected), "The named pipe app is unavailable (Windows error 231).");

    const std::string task = "\\" + WideToUtf8(UniqueTaskName());
    MakeFolder(registrations.folder);
    const std::wstring file = registrations.folder + L"\\activations.tsv";
    WriteTestFile(file, missing + "\t" + task + "\n");
    EXPECT_EQ(Connect(missing, allowlist, connected), "Could not activate task " + task + " (HRESULT 0x80070002).");
    UniqueHandle writer(::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer.held());
    EXPECT_EQ(Connect(missing, allowlist, connected), "Could not open task activation registrations.");
}

TEST(ResolveAccountSid, TakesSidTextOrTheAccountName) {
    EXPECT_EQ(ResolveAccountSid(Utf8ToWide(UserSid())), UserSid());
    EXPECT_EQ(ResolveAccountSid(Utf8ToWide(UserName())), UserSid());
    EXPECT_EQ(ResolveAccountSid(u"no-such-account-qsb"), std::nullopt);
}
