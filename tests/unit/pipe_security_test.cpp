// The trust rules for connected pipes and task principals over plain data, as
// the Windows layer hands them over. Cases Wine cannot make (object and
// callback entries, unreadable entries, unconvertible SIDs, a server of
// another account) are covered here.

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "pipes/pipe_security.h"
#include "support/error_message.h"
#include "support/fake_control_files.h"

namespace {

const std::string kOther = kOtherUser;
const std::string kUserPipe = "\\\\.\\pipe\\app.s-1-5-21-1-2-3-1001";
constexpr std::uint32_t kFileGenericRead = 0x00120089;
constexpr std::uint32_t kGenericAll = 0x10000000;

// The usual acceptable pipe: owned by `owner`, full control for the owner,
// LocalSystem and Administrators, read for everyone.
ObjectSecurity Secured(const std::string& owner) {
    ObjectSecurity security;
    security.obtained = security.hasOwner = security.hasDacl = true;
    security.owner = owner;
    security.aces = {Allow(kFileAllAccess, owner), Allow(kFileAllAccess, "S-1-5-18"),
                     Allow(kFileAllAccess, "S-1-5-32-544"), Allow(kFileGenericRead, kEveryone)};
    return security;
}

// A fake system that records what the rules asked of it.
struct FakeSystem {
    ObjectSecurity security = Secured(kUser);
    IntegrityLabel label{true, std::nullopt};
    std::optional<AccountName> owner = AccountName{"alice", "HOST"};
    ServerAccount server{ServerAccountStep::Read, kUser, kMediumIntegrityLevel, false, false};
    int serverReads = 0;

    PipeSecuritySource Source() {
        PipeSecuritySource source;
        source.readSecurity = [this] { return security; };
        source.readIntegrityLabel = [this] { return label; };
        source.lookupOwner = [this] { return owner; };
        source.readServerAccount = [this] {
            ++serverReads;
            return server;
        };
        source.currentUserSid = [] { return kUser; };
        return source;
    }

    std::string Check(const std::string& path) {
        return MessageOf([&] { shown = CheckConnectedPipeWith(path, "", Source()); });
    }
    std::string shown;
};

const std::string kServerRights = "The named pipe allows another principal to create servers or change its identity.";
const std::string kUnsupported = "Unsupported named pipe ACL; its identity cannot be verified.";
const std::string kUnverified = "Could not verify named pipe ownership and permissions.";
const std::string kWrongOwner = "The named pipe owner does not match the SID in its name.";
const std::string kNoSid = "Could not inspect pipe identity.";
const std::string kNotTheUser = "Named pipes without a canonical identity must run as the current user.";
const std::string kNotOwned = "Named pipes without a canonical identity must be owned by the current user.";
const std::string kLowProcess =
    "Named pipes without a canonical identity must run at medium integrity or higher, outside an AppContainer.";
const std::string kLowLabel = "The named pipe integrity label is below medium.";
const std::string kRestricted = "Named pipes without a canonical identity must not run with a restricted token.";

struct Case {
    const char* name;
    std::function<void(FakeSystem&)> change;
    std::string message;
};

void AddAce(FakeSystem& s, const AceEntry& ace) { s.security.aces.push_back(ace); }

}  // namespace

// A pipe with an identity: owner, DACL and label are judged, each failure in
// the order the checks run; the serving process is never asked about. What
// Wine can make of these (a usual, widened, harmless, empty or null DACL,
// another owner, the label's levels) is ConnectPipeOnWine's table.
TEST(CheckConnectedPipe, JudgesAPipeWithIdentityByOwnerDaclAndLabel) {
    const Case cases[] = {
        {"generic write", [](FakeSystem& s) { AddAce(s, Allow(0x40000000, kOther)); }, kServerRights},
        {"generic all", [](FakeSystem& s) { AddAce(s, Allow(kGenericAll, kOther)); }, kServerRights},
        {"write owner", [](FakeSystem& s) { AddAce(s, Allow(0x00080000, kOther)); }, kServerRights},
        {"write DAC", [](FakeSystem& s) { AddAce(s, Allow(0x00040000, kOther)); }, kServerRights},
        {"create instance", [](FakeSystem& s) { AddAce(s, Allow(0x4, kOther)); }, kServerRights},
        {"inherit-only object entry", [](FakeSystem& s) { AddAce(s, OfType(5, kGenericAll, kInheritOnlyAceFlag | 3)); },
         "(no error)"},
        {"deny without SID", [](FakeSystem& s) { AddAce(s, OfType(kAccessDeniedAceType, kGenericAll)); }, "(no error)"},
        {"object entry", [](FakeSystem& s) { AddAce(s, OfType(5, 0)); }, kUnsupported},
        {"callback entry", [](FakeSystem& s) { AddAce(s, OfType(9, 0)); }, kUnsupported},
        {"mandatory label entry", [](FakeSystem& s) { AddAce(s, OfType(17, 0)); }, kUnsupported},
        {"unreadable entry", [](FakeSystem& s) { s.security.aces.push_back(std::nullopt); }, "Invalid named pipe ACL."},
        {"allow entry without SID",
         [](FakeSystem& s) {
             AddAce(s, AceEntry{kAccessAllowedAceType, 0, 0, std::nullopt});
         },
         kNoSid},
        {"no security", [](FakeSystem& s) { s.security.obtained = false; }, kUnverified},
        {"no owner", [](FakeSystem& s) { s.security.hasOwner = false; }, kUnverified},
        {"Administrators own it", [](FakeSystem& s) { s.security = Secured("S-1-5-32-544"); }, kWrongOwner},
        {"owner without SID", [](FakeSystem& s) { s.security.owner = std::nullopt; }, kNoSid},
        {"label just below medium", [](FakeSystem& s) { s.label.level = 0x1FFF; }, kLowLabel},
        {"label unread", [](FakeSystem& s) { s.label.obtained = false; }, kUnverified},
        {"server gone before the label",
         [](FakeSystem& s) { s.label.obtained = false, s.label.pipeDisconnected = true; }, "(no error)"},
    };
    for (const Case& c : cases) {
        FakeSystem system;
        c.change(system);
        EXPECT_EQ(system.Check(kUserPipe), c.message) << c.name;
        EXPECT_EQ(system.serverReads, 0) << c.name;
    }
}

// Without a canonical identity (also a suffix not in standard form) the
// pipe's owner and label, read through the handle first, and the serving
// process's user, level and restriction count; the DACL is not judged. The
// owners Wine can give (the user, Administrators, LocalSystem, another
// account) are ConnectPipeOnWine's table.
TEST(CheckConnectedPipe, JudgesAPipeWithoutIdentityByItsOwnerAndServer) {
    const Case cases[] = {
        {"owned by Owner Rights", [](FakeSystem& s) { s.security = Secured("S-1-3-4"); }, kNotOwned},
        {"no owner", [](FakeSystem& s) { s.security.hasOwner = false; }, kNotOwned},
        {"owner without SID", [](FakeSystem& s) { s.security.owner = std::nullopt; }, kNoSid},
        {"no security", [](FakeSystem& s) { s.security.obtained = false; }, kUnverified},
        {"hung up, the user's", [](FakeSystem& s) { s.security.obtained = false, s.security.pipeDisconnected = true; },
         "(no error)"},
        {"hung up, another's",
         [](FakeSystem& s) {
             s.security.obtained = false, s.security.pipeDisconnected = true, s.server.userSid = kOther;
         },
         kNotTheUser},
        {"no process ID", [](FakeSystem& s) { s.server.step = ServerAccountStep::NoProcessId; },
         "Could not identify the pipe server."},
        {"process not opened", [](FakeSystem& s) { s.server.step = ServerAccountStep::ProcessNotOpened; },
         "Could not verify the pipe server account."},
        {"user unreadable", [](FakeSystem& s) { s.server.step = ServerAccountStep::UserUnreadable; }, kNotTheUser},
        {"served by LocalSystem", [](FakeSystem& s) { s.server.userSid = "S-1-5-18"; }, kNotTheUser},
        {"server SID unreadable", [](FakeSystem& s) { s.server.userSid = std::nullopt; }, kNoSid},
        // The label's rules are the first table's; this shows they are applied here too.
        {"label just below medium", [](FakeSystem& s) { s.label.level = 0x1FFF; }, kLowLabel},
        {"elevated",
         [](FakeSystem& s) { s.security = Secured("S-1-5-32-544"), s.label.level = s.server.integrityLevel = 0x3000; },
         "(no error)"},
        {"just below medium", [](FakeSystem& s) { s.server.integrityLevel = 0x1FFF; }, kLowProcess},
        {"level unread", [](FakeSystem& s) { s.server.integrityLevel = std::nullopt; }, kLowProcess},
        {"AppContainer", [](FakeSystem& s) { s.server.appContainer = true; }, kLowProcess},
        {"AppContainer unread", [](FakeSystem& s) { s.server.appContainer = std::nullopt; }, kLowProcess},
        {"restricted", [](FakeSystem& s) { s.server.restricted = true; }, kRestricted},
        {"restricted and elevated", [](FakeSystem& s) { s.server.restricted = true, s.server.integrityLevel = 0x3000; },
         kRestricted},
        {"restriction unread", [](FakeSystem& s) { s.server.restricted = std::nullopt; }, kRestricted},
    };
    for (const char* path : {"\\\\.\\pipe\\plain", "\\\\.\\pipe\\app.s-1-5-018"}) {
        for (const Case& c : cases) {
            FakeSystem system;
            c.change(system);
            EXPECT_EQ(system.Check(path), c.message) << c.name;
            EXPECT_EQ(system.shown, "") << c.name;
            if (c.message == kNotOwned || c.message == kLowLabel) {
                EXPECT_EQ(system.serverReads, 0) << c.name;  // the pipe object decides first
            }
        }
    }
}

// The label names the serving account without a domain for the current user,
// as "SYSTEM" for LocalSystem whatever the language, and the base name.
TEST(PipeDisplayLabel, NamesTheServingAccount) {
    const std::tuple<std::string, std::string, std::optional<AccountName>, std::string> cases[] = {
        {"\\\\.\\pipe\\Svc.Agent.S-1-5-18", "S-1-5-18", AccountName{"\xD0\xA1\xD0\x98\xD0\xA1", "NT AUTHORITY"},
         "SYSTEM / svc.agent"},
        {"\\\\.\\pipe\\x.s-1-5-18.s-1-5-21-1-2-3-1002", kOther, AccountName{"bob", "HOST"}, "HOST\\bob / x.s-1-5-18"},
        {"\\\\.\\pipe\\x.s-1-5-21-1-2-3-1002", kOther, AccountName{"bob", ""}, "bob / x"},
        {"\\\\.\\pipe\\x.s-1-5-21-1-2-3-1002", kOther, std::nullopt, ""},  // a failed lookup is no error
    };
    for (const auto& [path, owner, account, label] : cases) {
        FakeSystem system;
        system.security = Secured(owner);
        system.owner = account;
        EXPECT_EQ(system.Check(path), "(no error)") << label;
        EXPECT_EQ(system.shown, label);
    }
}

TEST(CheckTaskPrincipal, AcceptsOnlyANonElevatedInteractiveTaskOfTheCurrentUser) {
    const auto resolve = [](const WideString& id) -> std::optional<std::string> {
        if (id == u"alice") return kUser;
        if (id == u"bob") return kOther;
        return std::nullopt;
    };
    const auto check = [&](TaskPrincipalFacts facts) {
        return MessageOf([&] { CheckTaskPrincipal(facts, resolve, [] { return kUser; }); });
    };
    const std::string notInteractive =
        "Named pipe activation requires a non-elevated interactive task for the current user.";
    const std::string another = "Named pipe activation cannot run a task as another account.";
    const std::pair<TaskPrincipalFacts, std::string> cases[] = {
        {{true, kTaskRunLevelLua, kTaskLogonInteractiveToken, u"alice"}, "(no error)"},
        {{false, 0, 3, u"alice"}, notInteractive},  // no principal, or a read failed
        {{true, 1, 3, u"alice"}, notInteractive},   // highest run level
        {{true, 0, 1, u"alice"}, notInteractive},   // password logon
        {{true, 0, 3, u""}, notInteractive},        // a group, no user
        {{true, 0, 3, u"bob"}, another},
        {{true, 0, 3, u"nobody"}, another},
    };
    for (const auto& [facts, message] : cases) EXPECT_EQ(check(facts), message) << facts.runLevel << facts.logonType;
}
