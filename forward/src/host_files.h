#pragma once
// The files deploy reads and changes: under the host's %LOCALAPPDATA% over
// sftp, or where WSL shows this machine's Windows drives; and whole local files.

#include <memory>
#include <optional>
#include <string>

#include "remote_command.h"

// How long one command or sftp batch of deploy may take.
inline constexpr int kDeployRemoteMs = 120000;

// A whole local file; nothing, with errno saying why, when it cannot be read.
std::optional<std::string> ReadFile(const std::string& path);
// Throws ProgramError when the file cannot be written.
void WriteFile(const std::string& path, const std::string& bytes);

// The files deploy reads and changes under the host's %LOCALAPPDATA%, by
// paths relative to it: over sftp, or where WSL shows this machine's Windows
// drives. Steps are taken in order; over sftp they gather into one batch,
// which Commit runs, and a failed step there is the batch's failure.
class HostFiles {
public:
    virtual ~HostFiles() = default;
    // The file's bytes, or nothing when it is missing. Any other failure
    // throws: a file that is there but cannot be read is never replaced.
    virtual std::optional<std::string> Read(const std::string& path, const char* what) = 0;
    // Each of these two may fail without stopping the steps.
    virtual void MakeFolder(const std::string& path) = 0;
    virtual void Remove(const std::string& path) = 0;
    virtual void Write(const std::string& path, const std::string& bytes) = 0;
    virtual void Rename(const std::string& from, const std::string& to, bool mayFail) = 0;
    // Adds `more` at the end of the file, which holds `before`.
    virtual void Append(const std::string& path, const std::string& before, const std::string& more) = 0;
    virtual void Commit(const char* what) = 0;
};

// The host's files over sftp, and the files under `root` here.
std::unique_ptr<HostFiles> SftpHostFiles(const SshTarget& ssh);
std::unique_ptr<HostFiles> LocalHostFiles(std::string root);
