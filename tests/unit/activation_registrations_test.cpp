// The activation registrations: location, the row rules and every message of
// the load, over the recording fake of the control-file operations.

#include <gtest/gtest.h>

#include "activation/activation_registrations.h"
#include "support/error_message.h"
#include "support/fake_control_files.h"

namespace {

const std::string kRowMessage = "Invalid row in activations.tsv; expected pipe, tab, task path.";
const std::string kControlMessage = "Invalid control character in activations.tsv.";
const std::string kTaskMessage = "Task activation requires an absolute task path.";
const std::string kAlphabet = "Pipe names may contain letters, numbers, dots, hyphens, and underscores.";
const std::string kPrefix = "Enter a local named pipe path beginning with \\\\.\\pipe\\.";

std::string ParseError(const std::string& content) {
    return MessageOf([&] { ParseActivationRegistrations(content); });
}

}  // namespace

// Where the file is, ConnectPipeOnWine's activation shows.
TEST(ActivationPaths, NeedsLocalAppData) {
    EXPECT_EQ(MessageOf([] { ActivationPaths(std::nullopt); }), "Could not locate task activation registrations.");
}

// Rows are pipe, tab, task; pipes are stored canonical, tasks unchanged.
TEST(ParseActivationRegistrations, EntersEachRowWithItsCanonicalPipe) {
    const ActivationRegistrations table =
        ParseActivationRegistrations("\\\\.\\PIPE\\App\t\\Vendor\\Start App  \r\n"
                                     "\n\r\n"
                                     "\\\\.\\pipe\\other\t\\Vendor\\Start App  \n"
                                     "\\\\.\\pipe\\third\t\\J\xC3\xB6rg\\\xEA\xB9\x80");
    ASSERT_EQ(table.size(), 3u);
    EXPECT_EQ(table.at("\\\\.\\pipe\\app"), u"\\Vendor\\Start App  ");
    EXPECT_EQ(table.at("\\\\.\\pipe\\other"), u"\\Vendor\\Start App  ");
    EXPECT_EQ(table.at("\\\\.\\pipe\\third"), u"\\J\u00F6rg\\\uAE40");
    EXPECT_TRUE(ParseActivationRegistrations("").empty());
    EXPECT_TRUE(ParseActivationRegistrations("\n\r\n\n").empty());
}

// Every row counts, wherever the wanted one is: exactly pipe, tab, task; no
// control byte but one carriage return at the end; the pipe's grammar, then an
// absolute task path; no pipe twice. Invalid UTF-8 anywhere fails first.
TEST(ParseActivationRegistrations, RefusesEachBadRowWithItsMessage) {
    const std::pair<const char*, std::string> cases[] = {
        {"\\\\.\\pipe\\a", kRowMessage},
        {"\t\\task", kRowMessage},
        {"\\\\.\\pipe\\a\t", kRowMessage},
        {"\\\\.\\pipe\\a\t\\t\t\\u", kRowMessage},
        {"\r\r\n", kRowMessage},  // no tab: the row rule comes first
        {"\\\\.\\pipe\\a\t\\task\r\r\n", kControlMessage},
        {"\\\\.\\pipe\\a\x01\t\\task", kControlMessage},
        {"\\\\.\\pipe\\a\t\\task\x7F", "(no error)"},
        {"\\\\.\\pipe\\a \t\\task", kAlphabet},
        {"\xEF\xBB\xBF\\\\.\\pipe\\a\t\\task", kPrefix},  // a byte-order mark is part of the row
        {"\\\\.\\pipe\\a\t \\task", kTaskMessage},
        {"\\\\.\\pipe\\a\t\\folder\\", kTaskMessage},
        {"\\\\.\\pipe\\a\ttask", kTaskMessage},
        {"\\\\.\\pipe\\a\t\\one\n\\\\.\\PIPE\\A\t\\two\n", "Duplicate named pipe in activations.tsv."},
        {"\\\\.\\pipe\\a\t\\one\n\\\\.\\pipe\\b\tnot absolute\n", kTaskMessage},
        {"no tab here\n\\\\.\\pipe\\a\t\\t\xC3\n", "Invalid UTF-8 text."},
    };
    for (const auto& [content, message] : cases) EXPECT_EQ(ParseError(content), message) << content;
}

// Each row of the load's failure table that is not about the content.
TEST(LoadActivationRegistrations, ReportsEachFileFailure) {
    const auto load = [](auto change) {
        FakeFiles files;
        files.content = "\\\\.\\pipe\\a\t\\task\n";
        change(files);
        std::size_t count = 99;
        const std::string message = MessageOf([&] { count = LoadActivationRegistrationsWith(files.Ops()).size(); });
        return message == "(no error)" ? std::to_string(count) : message;
    };
    EXPECT_EQ(load([](FakeFiles& f) { f.folder.openError = 3; }), "0");
    EXPECT_EQ(load([](FakeFiles& f) { f.file.openError = 2; }), "0");
    EXPECT_EQ(load([](FakeFiles& f) { f.folder.openError = 5; }), "Could not open task activation directory.");
    EXPECT_EQ(load([](FakeFiles& f) { f.file.openError = 3; }), "Could not open task activation registrations.");
    // The trust rules are the allowlist's (allowlist_test.cpp): one stands for all.
    EXPECT_EQ(load([](FakeFiles& f) { f.file.security.owner = kOtherUser; }),
              "Named pipe allowlist has an untrusted owner.");
    EXPECT_EQ(load([](FakeFiles& f) { f.content += std::string(1048576 - f.content.size(), '\n'); }), "1");
    EXPECT_EQ(load([](FakeFiles& f) { f.content += std::string(1048577 - f.content.size(), '\n'); }),
              "Task activation registrations exceed the size limit.");
    EXPECT_EQ(load([](FakeFiles& f) { f.readFails = true; }), "Could not read task activation registrations.");
    EXPECT_EQ(load([](FakeFiles& f) { f.shortRead = true; }), "Could not read task activation registrations.");
    EXPECT_EQ(load([](FakeFiles& f) { f.content = "x\n"; }), kRowMessage);
}
