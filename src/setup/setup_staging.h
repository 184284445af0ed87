#pragma once
// Portable rules of the setup staging: names, paths, the directory's access
// control and the publisher comparison.

#include <cstdint>
#include <optional>

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

// Owned explicitly by the user (an owner the process can always set); a
// protected DACL, inherited by everything inside: full access for LocalSystem
// and Administrators; for the user full access, or only read and execute when
// the process is elevated (the installer then runs as the ordinary user and
// must not be able to alter what an administrator verified); Owner Rights
// read and execute only, so owning grants no right to rewrite the DACL.
WideString SetupStagingSddl(bool elevated, const WideString& userSid);

// True only for exactly the built-in publisher name, code unit for code unit:
// no case folding, trimming or normalisation.
bool IsExpectedSetupPublisher(const WideString& signerName);

// What identifies the installer file across handles: the volume, the file's
// index on it, and its size.
struct StagedFileIdentity {
    std::uint32_t volumeSerial = 0;
    std::uint64_t fileIndex = 0;
    std::uint64_t size = 0;
};

// The reopened file is the one written, with nothing added or cut: every field
// equal, and both read.
bool IsSameStagedFile(const std::optional<StagedFileIdentity>& written,
                      const std::optional<StagedFileIdentity>& reopened);
