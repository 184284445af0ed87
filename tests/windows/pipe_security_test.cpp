// Who serves a real pipe, under Wine: the test pipe server creates instances
// with chosen owners and DACLs (Wine keeps the descriptor given) and the
// check reads them back through the client handle.

#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "pipes/pipe_io_win32.h"
#include "pipes/pipe_path.h"
#include "pipes/pipe_security_win32.h"
#include "support/error_message.h"
#include "support/test_pipe_server_win32.h"
#include "text/byte_string.h"
#include "text/current_user_win32.h"
#include "text/wide_win32.h"

namespace {

std::string UserSid() { return WideToUtf8(CurrentUserSid()); }

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// Full control for `owner`, LocalSystem and Administrators; read for everyone.
std::string UsualSddl(const std::string& owner) {
    return "O:" + owner + "D:(A;;FA;;;" + owner + ")(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;WD)";
}

// Serves `name` with `serverArgs`, opens it and runs the whole check.
std::string CheckServed(const std::string& name, const std::vector<std::wstring>& serverArgs, std::string& label) {
    TestPipeServer server(name, serverArgs);
    PipeClientOpen opened = OpenPipeClient(name);
    if (!opened.pipe) return "open failed: " + std::to_string(opened.error);
    return MessageOf([&] { label = CheckConnectedPipe(opened.pipe.get(), name, ""); });
}

std::string CheckWithSddl(const std::string& name, const std::string& sddl, std::string& label) {
    return CheckServed(name, {L"--sddl", Wide(sddl), L"--mode", L"hold"}, label);
}

// A unique pipe path named for `sid` (SID text, any case).
std::string Named(const std::string& tag, const std::string& sid) {
    return ValidatePipePath(UniqueTestPipeName(tag) + "." + sid);
}

std::string AccountOf(const std::string& sidText) {
    PSID sid = nullptr;
    const WideString text = Utf8ToWide(sidText);
    if (!::ConvertStringSidToSidW(WinStr(text), &sid)) return "?";
    const UniqueLocalMemory owned(sid);
    wchar_t name[256], domain[256];
    DWORD nameLength = 256, domainLength = 256;
    SID_NAME_USE use{};
    if (!::LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) return "";
    const std::string account = WideToUtf8(FromWin(name));
    return domainLength ? WideToUtf8(FromWin(domain)) + "\\" + account : account;
}

}  // namespace

// The user's own pipe is labelled with the user's account name (no domain),
// the name the system gives for the logged-on user.
TEST(CheckConnectedPipeOnWine, AcceptsTheUsersOwnPipeWithItsAccountName) {
    const std::string name = Named("own", UserSid());
    std::string label;
    ASSERT_EQ(CheckWithSddl(name, UsualSddl(UserSid()), label), "(no error)");
    wchar_t user[256];
    DWORD length = 256;
    ASSERT_TRUE(::GetUserNameW(user, &length));
    EXPECT_EQ(label, WideToUtf8(FromWin(user)) + " / " + PipeBaseName(name));
}

TEST(CheckConnectedPipeOnWine, LabelsALocalSystemPipeSystem) {
    const std::string name = Named("system", "S-1-5-18");
    std::string label;
    ASSERT_EQ(CheckWithSddl(name, UsualSddl("SY"), label), "(no error)");
    EXPECT_EQ(label, "SYSTEM / " + PipeBaseName(name));
}

// Another account's pipe shows that account with its domain.
TEST(CheckConnectedPipeOnWine, LabelsAnotherAccountWithItsDomain) {
    const std::string name = Named("service", "S-1-5-19");
    std::string label;
    ASSERT_EQ(CheckWithSddl(name, UsualSddl("S-1-5-19"), label), "(no error)");
    // Wine names the built-in service accounts, with their domain.
    const std::string account = AccountOf("S-1-5-19");
    ASSERT_NE(account.find('\\'), std::string::npos) << account;
    EXPECT_EQ(label, account + " / " + PipeBaseName(name));
}

// What the system reports of each descriptor, judged: entries that let
// another principal create servers or change the pipe's identity, a wrong
// owner, a null DACL, no descriptor at all (Wine then reports neither owner
// nor DACL) and a low label are refused; read/write data, deny, inherit-only,
// Owner Rights and empty DACLs are accepted. A pipe without identity is
// trusted when this user owns and serves it, also when Administrators own it
// (an elevated server's instance, labelled high), and refused when another
// account owns it or it is labelled low (a sandbox of the user made it), even
// though the process behind its recorded ID is the user's own.
TEST(CheckConnectedPipeOnWine, JudgesTheDescriptorTheSystemReports) {
    const std::string user = UserSid();
    const std::string widened = "The named pipe allows another principal to create servers or change its identity.";
    const std::string unverified = "Could not verify named pipe ownership and permissions.";
    const std::string plainRefused = "Named pipes without a canonical identity must be owned by the current user.";
    const std::string lowLabel = "The named pipe integrity label is below medium.";
    const std::string low = "S:(ML;;NW;;;LW)";
    const auto sddl = [](const std::string& text) { return std::vector<std::wstring>{L"--sddl", Wide(text)}; };
    struct Row {
        const char* tag;
        bool named;  // the path names the user's SID
        std::vector<std::wstring> server;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"wide", true, sddl(UsualSddl(user) + "(A;;0x00120116;;;WD)"), widened},
        {"all", true, sddl(UsualSddl(user) + "(A;;GA;;;WD)"), widened},
        {"owner", true, sddl(UsualSddl("SY")), "The named pipe owner does not match the SID in its name."},
        {"null", true, {L"--sddl", Wide("O:" + user), L"--null-dacl"}, unverified},
        {"bare", true, {L"--no-descriptor"}, unverified},
        {"rw", true, sddl(UsualSddl(user) + "(A;;0x0012008B;;;WD)"), "(no error)"},
        {"deny", true, sddl(UsualSddl(user) + "(D;;GA;;;WD)"), "(no error)"},
        {"io", true, sddl(UsualSddl(user) + "(A;OICIIO;GA;;;WD)"), "(no error)"},
        {"ownerrights", true, sddl(UsualSddl(user) + "(A;;GA;;;OW)"), "(no error)"},
        {"empty", true, sddl("O:" + user + "D:"), "(no error)"},
        {"low", true, sddl(UsualSddl(user) + low), lowLabel},
        {"plain", false, {}, "(no error)"},
        {"plainmedium", false, sddl(UsualSddl(user) + "S:(ML;;NW;;;ME)"), "(no error)"},
        {"plainadmin", false, sddl(UsualSddl("BA") + "S:(ML;;NW;;;HI)"), "(no error)"},
        {"plainlow", false, sddl(UsualSddl(user) + low), lowLabel},
        {"plainother", false, sddl(UsualSddl("S-1-5-19")), plainRefused},
        {"plainbare", false, {L"--no-descriptor"}, plainRefused},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.tag);
        const std::string name = row.named ? Named(row.tag, user) : ValidatePipePath(UniqueTestPipeName(row.tag));
        std::vector<std::wstring> server = row.server;
        server.insert(server.end(), {L"--mode", L"hold"});
        std::string label = "unset";
        EXPECT_EQ(CheckServed(name, server, label), row.expected);
        if (row.tag == std::string("plain")) {
            EXPECT_EQ(label, "");  // no identity, no label
        }
    }
}

// Opening, verifying and closing leaves the handle count where it was.
TEST(CheckConnectedPipeOnWine, LeavesNoHandlesBehind) {
    const std::string name = Named("count", UserSid());
    const std::string plain = ValidatePipePath(UniqueTestPipeName("countplain"));
    TestPipeServer server(name, {L"--sddl", Wide(UsualSddl(UserSid())), L"--mode", L"hold", L"--instances", L"4"});
    TestPipeServer plainServer(plain, {L"--mode", L"hold", L"--instances", L"4"});
    const auto cycle = [](const std::string& path) {
        for (int attempt = 0; attempt < 200; ++attempt) {
            PipeClientOpen opened = OpenPipeClient(path);
            if (opened.pipe) return CheckConnectedPipe(opened.pipe.get(), path, "");
            if (opened.error != ERROR_PIPE_BUSY) break;
            ::WaitNamedPipeW(Wide(path).c_str(), 100);
        }
        return std::string("could not open");
    };
    cycle(name);  // first use loads what the system caches
    cycle(plain);
    DWORD before = 0, after = 0;
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &before));
    for (int i = 0; i < 20; ++i) {
        ASSERT_NE(cycle(name), "could not open");
        ASSERT_EQ(cycle(plain), "");
    }
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &after));
    EXPECT_EQ(after, before);
}

TEST(ResolveAccountSid, TakesSidTextOrTheAccountName) {
    EXPECT_EQ(ResolveAccountSid(Utf8ToWide(UserSid())), UserSid());
    wchar_t user[256];
    DWORD length = 256;
    ASSERT_TRUE(::GetUserNameW(user, &length));
    EXPECT_EQ(ResolveAccountSid(FromWin(user)), UserSid());
    EXPECT_EQ(ResolveAccountSid(u"no-such-account-qsb"), std::nullopt);
}
