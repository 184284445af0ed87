// The program's text grammars against the reference readings of
// reference_grammar.h: the product's value, or the sentence that refuses, must
// be the reference's. Byte 0 chooses the grammar, the rest is the text:
//   0  a pipe path, also as the name after the prefix and as the SID text of
//      the companion product's pipe (ValidatePipePath, CanonicalPipeSid,
//      PipeBaseName, ProductPipeNameFor)
//   1  an allowlist served as a trusted file: the request up to the first NUL
//      byte (without one, "\\.\pipe\app"), then the content; 0x80 in byte 0
//      pads the content with line feeds to 65536 bytes, 0x40 to one more
//   2  an activation file, row for row

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "activation/activation_registrations.h"
#include "allowlist/allowlist.h"
#include "pipes/pipe_path.h"
#include "reference_grammar.h"
#include "text/program_error.h"

namespace {

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

// The product's answer in the reference's shape.
template <typename Call>
auto Product(Call call) -> reference::Result<decltype(call())> {
    try {
        return {call(), std::string()};
    } catch (const ProgramError& error) {
        return {std::nullopt, error.what()};
    }
}

template <typename T>
void Same(const reference::Result<T>& expected, const reference::Result<T>& got) {
    Require(expected.value.has_value() == got.value.has_value());
    if (expected.value) Require(*expected.value == *got.value);
    else Require(expected.error == got.error);
}

void CheckPath(const std::string& input) {
    const reference::Result<std::string> expected = reference::PipePath(input);
    Same(expected, Product([&] { return ValidatePipePath(input); }));
    const reference::Result<std::string> identity = Product([&] { return CanonicalPipeSid(input); });
    if (!expected.value) {
        Same(expected, identity);  // the identity of a bad path fails with the grammar's sentence
        return;
    }
    const std::string& canonical = *expected.value;
    Require(identity.value.has_value());
    Require(PipeBaseName(canonical) == reference::BaseName(canonical));
    const std::optional<std::size_t> dot = reference::SuffixDot(canonical);
    if (!dot) {
        Require(identity.value->empty());
        return;
    }
    const std::optional<std::string> should = reference::Identity(canonical.substr(*dot + 1));
    if (should) Require(*identity.value == *should);
    // Beyond doubt or not, an identity always names the suffix it came from.
    if (!identity.value->empty()) Require(reference::LowerAll(*identity.value) == canonical.substr(*dot + 1));
}

// A trusted folder and file holding `content`.
ControlFileOps ServedFile(const std::string& content) {
    ControlFileOps ops;
    ops.open = [](ControlObject) -> std::uint32_t { return 0; };
    ops.readSecurity = [](ControlObject) {
        ObjectSecurity security;
        security.obtained = security.hasOwner = security.hasDacl = true;
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
        const WideString folder = u"\\\\?\\C:\\Users\\a\\AppData\\Local\\QuorlSSH";
        return object == ControlObject::Folder ? folder : folder + u"\\http-pipe.allow";
    };
    ops.currentUserSid = [] { return std::string("S-1-5-21-1-2-3-1001"); };
    return ops;
}

void CheckAllowlist(const std::string& content, const std::string& request) {
    const reference::Result<std::optional<std::string>> expected = reference::Listed(content, request);
    if (expected.error == reference::kUndecided) return;
    Same(expected, Product([&] {
             const std::optional<AllowlistEntry> entry = FindPipeInAllowlistWith(request, ServedFile(content));
             return entry ? std::optional<std::string>(entry->servedBy) : std::nullopt;
         }));
}

void CheckActivations(const std::string& content) {
    const reference::Result<reference::Registrations> expected = reference::Rows(content);
    const auto got = Product([&] { return ParseActivationRegistrations(content); });
    Require(expected.value.has_value() == got.value.has_value());
    if (!got.value) {
        Require(expected.error == got.error);
        return;
    }
    Require(got.value->size() == expected.value->size());
    for (const auto& [pipe, task] : *got.value) {
        const auto it = expected.value->find(pipe);
        Require(it != expected.value->end() && it->second == task);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 3) {
        case 0:
            CheckPath(text);
            // Random bytes rarely spell the prefix: try every input as a name too.
            CheckPath("\\\\.\\pipe\\" + text);
            Same(reference::PipePath("\\\\.\\pipe\\org.quorltholm.QuorlTholm." + text),
                 Product([&] { return ProductPipeNameFor(text); }));
            break;
        case 1: {
            std::string request = "\\\\.\\pipe\\app";
            const std::size_t nul = text.find('\0');
            if (nul != std::string::npos) {
                request = text.substr(0, nul);
                text.erase(0, nul + 1);
            }
            if ((data[0] & 0x80) && text.size() < 65536) text.append(65536 - text.size() + ((data[0] >> 6) & 1), '\n');
            CheckAllowlist(text, request);
            // The request on a line of its own after the content: listed, unless
            // the content refuses first.
            if (text.size() < 65000) CheckAllowlist(text + "\n" + request, request);
            break;
        }
        default:
            CheckActivations(text);
    }
    return 0;
}
