#include "host_files.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "command.h"
#include "deploy.h"
#include "text/program_error.h"
#include "unique_fd.h"

std::optional<std::string> ReadFile(const std::string& path) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::string bytes;
    char block[65536];
    for (ssize_t got; (got = read(fd.get(), block, sizeof block)) != 0;) {
        if (got < 0 && errno != EINTR) return std::nullopt;
        if (got > 0) bytes.append(block, static_cast<std::size_t>(got));
    }
    return bytes;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << bytes;
    file.close();
    if (!file) throw ProgramError("Could not write " + path + ".");
}

namespace {

// A private temporary folder, removed with what is in it on every path.
class TempFolder {
public:
    TempFolder() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qsf-deploy-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) throw ProgramError("Could not create a temporary folder.");
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

[[noreturn]] void Failed(const std::string& what, const std::string& path) {
    throw ProgramError("Could not " + what + " " + path + ": " + std::strerror(errno) + ".");
}

[[noreturn]] void SftpFailed(const SshTarget& ssh, const std::string& what, const CommandResult& result) {
    std::string said = LastLine(result.errors);
    if (!said.empty() && said.back() != '.') said += '.';
    throw ProgramError("Could not " + what + " on " + ssh.host + " with sftp: " + said);
}

class SftpFiles final : public HostFiles {
public:
    explicit SftpFiles(const SshTarget& ssh) : ssh_(ssh) {}

    std::optional<std::string> Read(const std::string& path, const char* what) override {
        const std::string local = temp_.File("read" + std::to_string(++files_));
        CommandResult result =
            RunToEnd(SftpCommand(ssh_), "get " + There(path) + " " + SftpPath(local) + "\n", kDeployRemoteMs);
        const std::string missing = "/" + There(path) + "\" not found.";
        const std::string said = LastLine(result.errors);
        if (result.status != 0 && said.starts_with("File \"") && said.size() > missing.size() &&
            said.ends_with(missing))
            return std::nullopt;
        std::optional<std::string> bytes = ReadFile(local);
        if (result.status != 0 || !bytes) SftpFailed(ssh_, what, result);
        return bytes;
    }
    void MakeFolder(const std::string& path) override { batch_ += "-mkdir " + There(path) + "\n"; }
    void Remove(const std::string& path) override { batch_ += "-rm " + There(path) + "\n"; }
    void Write(const std::string& path, const std::string& bytes) override {
        batch_ += "put " + SftpPath(Staged(bytes)) + " " + There(path) + "\n";
    }
    void Rename(const std::string& from, const std::string& to, bool mayFail) override {
        batch_ += std::string(mayFail ? "-" : "") + "rename " + There(from) + " " + There(to) + "\n";
    }
    // sftp appends what lies past the remote file's end, which keeps the
    // file and the permissions it has.
    void Append(const std::string& path, const std::string& before, const std::string& more) override {
        batch_ += "put -a " + SftpPath(Staged(before + more)) + " " + There(path) + "\n";
    }
    void Commit(const char* what) override {
        CommandResult result = RunToEnd(SftpCommand(ssh_), batch_, kDeployRemoteMs);
        batch_.clear();
        if (result.status != 0) SftpFailed(ssh_, what, result);
    }

private:
    // sftp starts in the profile folder.
    static std::string There(const std::string& path) { return "AppData/Local/" + path; }
    std::string Staged(const std::string& bytes) {
        const std::string local = temp_.File("put" + std::to_string(++files_));
        WriteFile(local, bytes);
        return local;
    }

    const SshTarget& ssh_;
    TempFolder temp_;
    std::string batch_;
    int files_ = 0;
};

class LocalFiles final : public HostFiles {
public:
    explicit LocalFiles(std::string root) : root_(std::move(root)) {}

    std::optional<std::string> Read(const std::string& path, const char*) override {
        std::optional<std::string> bytes = ReadFile(Here(path));
        if (!bytes && errno != ENOENT && errno != ENOTDIR) Failed("read", Here(path));
        return bytes;
    }
    void MakeFolder(const std::string& path) override { mkdir(Here(path).c_str(), 0755); }
    void Remove(const std::string& path) override { unlink(Here(path).c_str()); }
    void Write(const std::string& path, const std::string& bytes) override {
        WriteFd(open(Here(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644), path, bytes);
    }
    void Rename(const std::string& from, const std::string& to, bool mayFail) override {
        if (rename(Here(from).c_str(), Here(to).c_str()) != 0 && !mayFail) Failed("rename", Here(from));
    }
    void Append(const std::string& path, const std::string&, const std::string& more) override {
        WriteFd(open(Here(path).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC), path, more);
    }
    void Commit(const char*) override {}

private:
    std::string Here(const std::string& path) const { return root_ + "/" + path; }
    void WriteFd(int opened, const std::string& path, const std::string& bytes) const {
        UniqueFd fd(opened);
        if (!fd) Failed("write", Here(path));
        for (std::size_t done = 0; done < bytes.size();) {
            ssize_t wrote = write(fd.get(), bytes.data() + done, bytes.size() - done);
            if (wrote < 0 && errno != EINTR) Failed("write", Here(path));
            if (wrote > 0) done += static_cast<std::size_t>(wrote);
        }
        if (close(fd.release()) != 0) Failed("write", Here(path));
    }

    std::string root_;
};

}  // namespace

std::unique_ptr<HostFiles> SftpHostFiles(const SshTarget& ssh) { return std::make_unique<SftpFiles>(ssh); }

std::unique_ptr<HostFiles> LocalHostFiles(std::string root) { return std::make_unique<LocalFiles>(std::move(root)); }
