#include "support/fake_control_files.h"

ObjectSecurity Trusted(const std::string& owner) {
    ObjectSecurity security;
    security.obtained = security.hasOwner = security.hasDacl = true;
    security.owner = owner;
    security.aces = {Allow(kFileAllAccess, kUser), Allow(kFileAllAccess, "S-1-5-18"),
                     Allow(kFileAllAccess, "S-1-5-32-544")};
    return security;
}

ControlFileOps FakeFiles::Ops() {
    ControlFileOps ops;
    ops.open = [this](ControlObject o) {
        log.push_back("open " + Name(o));
        return Of(o).openError;
    };
    ops.readSecurity = [this](ControlObject o) {
        log.push_back("security " + Name(o));
        return Of(o).security;
    };
    ops.attributes = [this](ControlObject o) {
        log.push_back("attributes " + Name(o));
        return Of(o).attributes;
    };
    ops.fileSize = [this]() -> std::optional<std::uint64_t> {
        log.push_back("size");
        return content.size();
    };
    ops.read = [this](std::uint64_t n) -> std::optional<std::string> {
        log.push_back("read " + std::to_string(n));
        if (readFails) return std::nullopt;
        return shortRead ? content.substr(0, n / 2) : content.substr(0, n);
    };
    ops.finalPath = [this](ControlObject o) {
        log.push_back("final path " + Name(o));
        return Of(o).finalPath;
    };
    ops.currentUserSid = [] { return kUser; };
    return ops;
}
