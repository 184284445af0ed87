// The trust rules for connected pipes and task principals over plain data, as
// the Windows layer hands them over. Cases Wine cannot make (object and
// callback entries, unreadable entries, unconvertible SIDs, a server of
// another account) are covered here.

#include <gtest/gtest.h>

#include <tuple>

#include "pipes/pipe_security.h"
#include "support/error_message.h"

namespace {

const std::string kUser = "S-1-5-21-1-2-3-1001";
const std::string kOther = "S-1-5-21-1-2-3-1002";
const std::string kEveryone = "S-1-1-0";
const std::string kUserPipe = "\\\\.\\pipe\\app.s-1-5-21-1-2-3-1001";
const std::string kPlainPipe = "\\\\.\\pipe\\plain";

constexpr std::uint32_t kFileAllAccess = 0x001F01FF;
constexpr std::uint32_t kFileGenericRead = 0x00120089;
constexpr std::uint32_t kGenericAll = 0x10000000;

AceEntry Allow(std::uint32_t mask, const std::string& sid, std::uint8_t flags = 0) {
    return AceEntry{kAccessAllowedAceType, flags, mask, sid};
}

AceEntry OfType(std::uint8_t type, std::uint32_t mask, std::uint8_t flags = 0) {
    return AceEntry{type, flags, mask, std::nullopt};
}

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
    ServerAccount server{ServerAccountStep::Read, kUser, kMediumIntegrityLevel, false};
    int securityReads = 0;
    int serverReads = 0;

    PipeSecuritySource Source() {
        PipeSecuritySource source;
        source.readSecurity = [this] {
            ++securityReads;
            return security;
        };
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
        return MessageOf([&] { shown = CheckConnectedPipeWith(path, Source()); });
    }
    std::string shown;
};

}  // namespace

// A pipe named for the user, owned by the user, with the usual DACL is
// accepted; its label is the account name without domain and the base name.
// The serving process is never asked about.
TEST(CheckConnectedPipe, AcceptsAPipeOwnedByTheSidInItsName) {
    FakeSystem system;
    EXPECT_EQ(system.Check(kUserPipe), "(no error)");
    EXPECT_EQ(system.shown, "alice / app");
    EXPECT_EQ(system.serverReads, 0);
}

TEST(CheckConnectedPipe, RefusesServerRightsForEveryoneButNotReadAndWriteData) {
    FakeSystem system;
    system.security.aces.push_back(Allow(0x00120116, kEveryone));  // generic file write: has 0x4
    EXPECT_EQ(system.Check(kUserPipe), "The named pipe allows another principal to create servers or change its identity.");

    system.security = Secured(kUser);
    system.security.aces.push_back(Allow(0x0012008B, kEveryone));  // generic read plus write data
    EXPECT_EQ(system.Check(kUserPipe), "(no error)");

    for (std::uint32_t right : {0x40000000u, 0x10000000u, 0x00080000u, 0x00040000u, 0x00000004u}) {
        system.security = Secured(kUser);
        system.security.aces.push_back(Allow(right, kOther));
        EXPECT_EQ(system.Check(kUserPipe),
                  "The named pipe allows another principal to create servers or change its identity.")
            << right;
    }
}

TEST(CheckConnectedPipe, TrustsOwnerRightsButNotEveryoneWithGenericAll) {
    FakeSystem system;
    system.security.aces.push_back(Allow(kGenericAll, "S-1-3-4"));
    EXPECT_EQ(system.Check(kUserPipe), "(no error)");
    system.security.aces.push_back(Allow(kGenericAll, kEveryone));
    EXPECT_EQ(system.Check(kUserPipe), "The named pipe allows another principal to create servers or change its identity.");
}

// Inherit-only entries of any type and plain deny entries do not apply; object,
// callback and other entry types are refused even when they grant nothing.
TEST(CheckConnectedPipe, SkipsInheritOnlyAndDenyEntriesAndRefusesOtherTypes) {
    FakeSystem system;
    system.security.aces.push_back(Allow(kGenericAll, kEveryone, kInheritOnlyAceFlag));
    system.security.aces.push_back(OfType(5, kGenericAll, kInheritOnlyAceFlag | 0x03));
    system.security.aces.push_back(OfType(kAccessDeniedAceType, kGenericAll));
    EXPECT_EQ(system.Check(kUserPipe), "(no error)");

    for (std::uint8_t type : {5, 6, 9, 10, 11, 4, 17, 200}) {  // object, callback, compound, mandatory label...
        system.security = Secured(kUser);
        system.security.aces.insert(system.security.aces.begin(), OfType(type, 0));
        EXPECT_EQ(system.Check(kUserPipe), "Unsupported named pipe ACL; its identity cannot be verified.") << int(type);
    }
}

TEST(CheckConnectedPipe, AcceptsAnEmptyDacl) {
    FakeSystem system;
    system.security.aces.clear();
    EXPECT_EQ(system.Check(kUserPipe), "(no error)");
}

// Each failure of the owner/DACL regime, in the order the checks run.
TEST(CheckConnectedPipe, ReportsEachOwnerAndDaclFailure) {
    FakeSystem system;
    system.security.obtained = false;
    EXPECT_EQ(system.Check(kUserPipe), "Could not verify named pipe ownership and permissions.");
    system.security = Secured(kUser);
    system.security.hasOwner = false;
    EXPECT_EQ(system.Check(kUserPipe), "Could not verify named pipe ownership and permissions.");
    system.security = Secured(kUser);
    system.security.hasDacl = false;  // a null DACL grants everyone everything
    EXPECT_EQ(system.Check(kUserPipe), "Could not verify named pipe ownership and permissions.");

    system.security = Secured(kOther);
    EXPECT_EQ(system.Check(kUserPipe), "The named pipe owner does not match the SID in its name.");
    system.security = Secured("S-1-5-32-544");  // trusted in the DACL, but not as the owner
    EXPECT_EQ(system.Check(kUserPipe), "The named pipe owner does not match the SID in its name.");
    system.security.owner = std::nullopt;
    EXPECT_EQ(system.Check(kUserPipe), "Could not inspect pipe identity.");

    system.security = Secured(kUser);
    system.security.aces.push_back(std::nullopt);
    EXPECT_EQ(system.Check(kUserPipe), "Invalid named pipe ACL.");
    system.security.aces.insert(system.security.aces.begin(), OfType(5, 0));
    EXPECT_EQ(system.Check(kUserPipe), "Unsupported named pipe ACL; its identity cannot be verified.");

    // An allow entry's SID must be readable even when it grants no server right.
    system.security = Secured(kUser);
    system.security.aces.push_back(AceEntry{kAccessAllowedAceType, 0, 0, std::nullopt});
    EXPECT_EQ(system.Check(kUserPipe), "Could not inspect pipe identity.");
    // A deny entry's SID is never needed.
    system.security = Secured(kUser);
    system.security.aces.push_back(OfType(kAccessDeniedAceType, kGenericAll));
    EXPECT_EQ(system.Check(kUserPipe), "(no error)");
}

TEST(PipeDisplayLabel, NamesTheServingAccount) {
    FakeSystem system;
    system.security = Secured("S-1-5-18");
    system.owner = AccountName{"\xD0\xA1\xD0\x98\xD0\xA1\xD0\xA2\xD0\x95\xD0\x9C\xD0\x90", "NT AUTHORITY"};
    EXPECT_EQ(system.Check("\\\\.\\pipe\\Svc.Agent.S-1-5-18"), "(no error)");
    EXPECT_EQ(system.shown, "SYSTEM / svc.agent");

    system.security = Secured(kOther);
    system.owner = AccountName{"bob", "HOST"};
    EXPECT_EQ(system.Check("\\\\.\\pipe\\x.s-1-5-18.s-1-5-21-1-2-3-1002"), "(no error)");
    EXPECT_EQ(system.shown, "HOST\\bob / x.s-1-5-18");
    system.owner = AccountName{"bob", ""};
    EXPECT_EQ(system.Check("\\\\.\\pipe\\x.s-1-5-21-1-2-3-1002"), "(no error)");
    EXPECT_EQ(system.shown, "bob / x");

    // A failed lookup leaves the label empty; it is not an error.
    system.owner = std::nullopt;
    EXPECT_EQ(system.Check("\\\\.\\pipe\\x.s-1-5-21-1-2-3-1002"), "(no error)");
    EXPECT_EQ(system.shown, "");
}

// Without a canonical identity the pipe's owner and the serving process's
// user count; the DACL is not judged.
TEST(CheckConnectedPipe, RequiresTheCurrentUserToOwnAndServeAPipeWithoutIdentity) {
    FakeSystem system;
    system.security.aces = {Allow(kGenericAll, kEveryone)};  // would fail if it were judged
    EXPECT_EQ(system.Check(kPlainPipe), "(no error)");
    EXPECT_EQ(system.shown, "");
    EXPECT_EQ(system.serverReads, 1);
    // A suffix that is not in standard form is no identity either.
    EXPECT_EQ(system.Check("\\\\.\\pipe\\app.s-1-5-018"), "(no error)");

    const std::pair<ServerAccount, std::string> cases[] = {
        {{ServerAccountStep::NoProcessId, std::nullopt, std::nullopt, std::nullopt}, "Could not identify the pipe server."},
        {{ServerAccountStep::ProcessNotOpened, std::nullopt, std::nullopt, std::nullopt}, "Could not verify the pipe server account."},
        {{ServerAccountStep::TokenNotOpened, std::nullopt, std::nullopt, std::nullopt}, "Could not verify the pipe server account."},
        {{ServerAccountStep::UserUnreadable, std::nullopt, std::nullopt, std::nullopt},
         "Named pipes without a canonical identity must run as the current user."},
        {{ServerAccountStep::Read, std::string("S-1-5-18"), kMediumIntegrityLevel, false},
         "Named pipes without a canonical identity must run as the current user."},
        {{ServerAccountStep::Read, std::nullopt, std::nullopt, std::nullopt}, "Could not inspect pipe identity."},
    };
    for (const auto& [server, message] : cases) {
        system.server = server;
        EXPECT_EQ(system.Check(kPlainPipe), message);
    }
}

// The owner is read through the handle before the process is asked about, so
// a process ID reused by one of the user's processes cannot vouch for another
// account's instance. An elevated server's pipe is owned by Administrators.
TEST(CheckConnectedPipe, RequiresAPipeWithoutIdentityToBeOwnedByTheUserOrAnAdministrator) {
    const std::string refused = "Named pipes without a canonical identity must be owned by the current user.";
    const std::pair<std::optional<std::string>, std::string> owners[] = {
        {kUser, "(no error)"},
        {std::string("S-1-5-32-544"), "(no error)"},
        {std::string("S-1-5-18"), "(no error)"},
        {kOther, refused},
        {kEveryone, refused},
        {std::string("S-1-3-4"), refused},  // trusted in a DACL, never as an owner
    };
    for (const auto& [owner, message] : owners) {
        FakeSystem system;
        system.security = Secured(*owner);
        EXPECT_EQ(system.Check(kPlainPipe), message) << *owner;
        EXPECT_EQ(system.serverReads, message == refused ? 0 : 1) << *owner;
    }
    FakeSystem system;
    system.security.hasOwner = false;
    EXPECT_EQ(system.Check(kPlainPipe), refused);
    system.security = Secured(kUser);
    system.security.owner = std::nullopt;
    EXPECT_EQ(system.Check(kPlainPipe), "Could not inspect pipe identity.");
    system.security.obtained = false;
    EXPECT_EQ(system.Check(kPlainPipe), "Could not verify named pipe ownership and permissions.");
    // A server that has already hung up: nothing can pass any more, the
    // process checks decide as before.
    system.security.pipeDisconnected = true;
    EXPECT_EQ(system.Check(kPlainPipe), "(no error)");
    system.server.userSid = kOther;
    EXPECT_EQ(system.Check(kPlainPipe), "Named pipes without a canonical identity must run as the current user.");
}

// A low-integrity or AppContainer process of the user passes the user check;
// its level decides. Elevated (high) and System servers pass as before.
TEST(CheckConnectedPipe, RequiresMediumIntegrityOutsideAnAppContainerWithoutIdentity) {
    const std::string refused =
        "Named pipes without a canonical identity must run at medium integrity or higher, outside an AppContainer.";
    const std::tuple<std::optional<std::uint32_t>, std::optional<bool>, std::string> cases[] = {
        {0x2000u, false, "(no error)"},  {0x2100u, false, "(no error)"}, {0x3000u, false, "(no error)"},
        {0x4000u, false, "(no error)"},  {0x1FFFu, false, refused},      {0x1000u, false, refused},
        {0x0000u, false, refused},       {0x2000u, true, refused},       {0x1000u, true, refused},
        {std::nullopt, false, refused},  {0x2000u, std::nullopt, refused},
    };
    for (const auto& [level, appContainer, message] : cases) {
        FakeSystem system;
        system.server.integrityLevel = level;
        system.server.appContainer = appContainer;
        EXPECT_EQ(system.Check(kPlainPipe), message) << level.value_or(99999) << " " << appContainer.value_or(2);
    }
}

// A pipe created by a sandboxed process carries its low label; no label means
// medium. The serving process is still never asked about.
TEST(CheckConnectedPipe, RequiresAtLeastAMediumLabelOnAPipeWithIdentity) {
    const std::string refused = "The named pipe integrity label is below medium.";
    const std::pair<IntegrityLabel, std::string> cases[] = {
        {{true, std::nullopt}, "(no error)"}, {{true, 0x2000u}, "(no error)"}, {{true, 0x3000u}, "(no error)"},
        {{true, 0x4000u}, "(no error)"},      {{true, 0x1FFFu}, refused},      {{true, 0x1000u}, refused},
        {{true, 0u}, refused},
        {{false, std::nullopt}, "Could not verify named pipe ownership and permissions."},
        {{false, std::nullopt, true}, "(no error)"},  // the server hung up after its DACL was read
    };
    for (const auto& [label, message] : cases) {
        FakeSystem system;
        system.label = label;
        EXPECT_EQ(system.Check(kUserPipe), message) << label.level.value_or(99999);
        EXPECT_EQ(system.serverReads, 0);
    }
}

TEST(CheckTaskPrincipal, AcceptsOnlyANonElevatedInteractiveTaskOfTheCurrentUser) {
    const auto resolve = [](const WideString& id) -> std::optional<std::string> {
        if (id == u"alice" || id == u"S-1-5-21-1-2-3-1001") return kUser;
        if (id == u"bob") return kOther;
        return std::nullopt;
    };
    const auto current = [] { return kUser; };
    const auto check = [&](TaskPrincipalFacts facts) {
        return MessageOf([&] { CheckTaskPrincipal(facts, resolve, current); });
    };
    const TaskPrincipalFacts good{true, kTaskRunLevelLua, kTaskLogonInteractiveToken, u"alice"};
    EXPECT_EQ(check(good), "(no error)");
    EXPECT_EQ(check({true, 0, 3, u"S-1-5-21-1-2-3-1001"}), "(no error)");

    const std::string notInteractive =
        "Named pipe activation requires a non-elevated interactive task for the current user.";
    EXPECT_EQ(check({false, 0, 3, u"alice"}), notInteractive);  // no principal, or a read failed
    EXPECT_EQ(check({true, 1, 3, u"alice"}), notInteractive);   // highest run level
    EXPECT_EQ(check({true, 0, 1, u"alice"}), notInteractive);   // password logon
    EXPECT_EQ(check({true, 0, 3, u""}), notInteractive);        // a group, no user
    EXPECT_EQ(check({true, 0, 3, u"bob"}), "Named pipe activation cannot run a task as another account.");
    EXPECT_EQ(check({true, 0, 3, u"nobody"}), "Named pipe activation cannot run a task as another account.");
}
