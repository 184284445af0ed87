#pragma once
// Portable rules of the setup staging: names, paths, the directory's access
// control and the publisher comparison.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "pipes/object_security.h"
#include "text/encoding.h"

// "QuorlTholm-Setup-" + identifier: the staging directory's name and the
// temporary task's name, so concurrent runs never share either.
WideString SetupRunName(const WideString& identifier);

// `root` and `name` with one "\" between them, unless `root` already ends
// with "\" or "/" (the temporary folder does, common application data does not).
WideString JoinSetupPath(const WideString& root, const WideString& name);

// True for exactly "QuorlTholm-Setup-" and a GUID as StringFromGUID2 writes
// it ("{" 8-4-4-4-12 upper-case hexadecimal digits "}"): the names this
// program gives its staging folders and setup tasks, and nothing else.
bool IsSetupRunName(const WideString& name);

// A staging folder created at `created` is an earlier run's leftover at `now`
// (both in 100 ns units, as FILETIME) once the setup task's deadline has
// passed since; a creation time in the future never is.
bool IsStaleSetupStaging(std::uint64_t created, std::uint64_t now);

// Owned explicitly by the user (an owner the process can always set) or, when
// the process is elevated, by Administrators (an owner that a process of the
// user that is not elevated cannot give an object, so only an elevated run can
// have made it); a protected DACL, inherited by everything inside: full
// access for LocalSystem and Administrators; for the user full access, or
// only read and execute when the process is elevated (the installer then runs
// as the ordinary user and must not be able to alter what an administrator
// verified); Owner Rights read and execute only, so owning grants no right to
// rewrite the DACL.
WideString SetupStagingSddl(bool elevated, const WideString& userSid);

// Every right that changes a folder, what is in it, or who may: FILE_WRITE_DATA
// (add a file), FILE_APPEND_DATA (add a folder), FILE_WRITE_EA,
// FILE_DELETE_CHILD, FILE_WRITE_ATTRIBUTES, DELETE, WRITE_DAC, WRITE_OWNER,
// GENERIC_WRITE and GENERIC_ALL.
inline constexpr std::uint32_t kStagingWriteRights = 0x500D0156;

// Whether a folder of this program's run-name pattern, with this owner and
// DACL, is one that a run of this user made for `elevated`. Not elevated:
// owned by the user. Elevated: owned by Administrators, and no allow entry,
// inherit-only ones included, lets anyone but Administrators and LocalSystem
// change it or what it holds. The user can make folders beside the elevated
// staging and set their creation time back, so one owned by the user there
// may be a trap for a removal that runs as an administrator.
bool IsOwnSetupStaging(bool elevated, const ObjectSecurity& security, const std::string& userSid);

// True only for exactly the built-in publisher name, code unit for code unit:
// no case folding, trimming or normalisation.
bool IsExpectedSetupPublisher(const WideString& signerName);

// What identifies the installer file across handles: the volume, the file's
// ID on it, and its size. The ID is the 128-bit one where the file system
// gives it (ReFS needs all of it), else the 64-bit index in its low 8 bytes.
struct StagedFileIdentity {
    std::uint64_t volumeSerial = 0;
    std::array<std::uint8_t, 16> fileId{};
    std::uint64_t size = 0;
};

// The reopened file is the one written, with nothing added or cut: every field
// equal, and both read.
bool IsSameStagedFile(const std::optional<StagedFileIdentity>& written,
                      const std::optional<StagedFileIdentity>& reopened);
