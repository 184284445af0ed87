// Any allowlist content and any request: the product's answer (listed, not
// listed, or the sentence that refuses) must be the reference reading's in
// reference_grammar.h. The file is served through the control-file seam as
// a trusted file, so the size limit is judged too.
//
// Input: byte 0 chooses padding (0xF0 and 0xF1: pad the content with line
// feeds to 65536 bytes, and one more for 0xF1; padding is rare because a 64 KiB
// file is slow to read through); then the request up to the
// first NUL byte (without one, the request is "\\.\pipe\app"), then the
// content.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "allowlist/allowlist.h"
#include "reference_grammar.h"
#include "text/program_error.h"

namespace {

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

// A trusted folder and file holding `content`.
ControlFileOps ServedFile(const std::string& content) {
    ControlFileOps ops;
    ops.open = [](ControlObject) -> std::uint32_t { return 0; };
    ops.readSecurity = [](ControlObject) {
        ObjectSecurity security;
        security.obtained = true;
        security.hasOwner = true;
        security.hasDacl = true;
        security.owner = "S-1-5-21-1-2-3-1001";
        return security;
    };
    ops.attributes = [](ControlObject) -> std::optional<std::uint32_t> { return 0x20; };
    ops.fileSize = [&content]() -> std::optional<std::uint64_t> { return content.size(); };
    ops.read = [&content](std::uint64_t size) -> std::optional<std::string> {
        Require(size == content.size());  // never a partial read
        return content;
    };
    ops.finalPath = [](ControlObject object) -> std::optional<WideString> {
        return object == ControlObject::Folder ? WideString(u"\\\\?\\C:\\Users\\a\\AppData\\Local\\QuorlSSH")
                                               : WideString(u"\\\\?\\C:\\Users\\a\\AppData\\Local\\QuorlSSH\\http-pipe.allow");
    };
    ops.currentUserSid = [] { return std::string("S-1-5-21-1-2-3-1001"); };
    return ops;
}

void Check(const std::string& content, const std::string& request) {
    const reference::Result<bool> expected = reference::Listed(content, request);
    reference::Result<bool> got;
    try {
        got.value = IsPipeAllowlistedWith(request, ServedFile(content));
    } catch (const ProgramError& error) {
        got.error = error.what();
    }
    Require(expected.value.has_value() == got.value.has_value());
    if (expected.value) Require(*expected.value == *got.value);
    else Require(expected.error == got.error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t mode = data[0];
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string request = "\\\\.\\pipe\\app";
    const std::size_t nul = rest.find('\0');
    if (nul != std::string::npos) {
        request = rest.substr(0, nul);
        rest.erase(0, nul + 1);
    }
    if ((mode & 0xFE) == 0xF0 && rest.size() < 65536) rest.append(65536 - rest.size() + (mode & 1), '\n');
    Check(rest, request);
    // The request on a line of its own after the content: listed, unless the
    // content refuses first.
    if (rest.size() < 65000) Check(rest + "\n" + request, request);
    return 0;
}
