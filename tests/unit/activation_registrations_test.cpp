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

TEST(ActivationPaths, JoinsTheFolderAndFileUnderLocalAppData) {
    const ActivationLocation location = ActivationPaths(WideString(u"C:\\Users\\J\u00F6rg\\AppData\\Local"));
    EXPECT_EQ(location.folder, u"C:\\Users\\J\u00F6rg\\AppData\\Local\\org.quorlssh");
    EXPECT_EQ(location.file, u"C:\\Users\\J\u00F6rg\\AppData\\Local\\org.quorlssh\\activations.tsv");
    EXPECT_EQ(ActivationPaths(WideString(u"C:\\")).folder, u"C:\\org.quorlssh");
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

TEST(ParseActivationRegistrations, RefusesRowsWithoutExactlyTwoFields) {
    for (const char* row : {"#comment", "\\\\.\\pipe\\a", "\t\\task", "\\\\.\\pipe\\a\t", "\\\\.\\pipe\\a\t\\t\t\\u",
                            "\\\\.\\pipe\\a\t\t\\t"}) {
        EXPECT_EQ(ParseError(row), kRowMessage) << row;
    }
}

TEST(ParseActivationRegistrations, RefusesControlBytesExceptOneCarriageReturnAtTheEnd) {
    EXPECT_EQ(ParseError("\\\\.\\pipe\\a\t\\task\r\r\n"), kControlMessage);
    EXPECT_EQ(ParseError("\\\\.\\pipe\\a\t\\ta\vsk"), kControlMessage);
    EXPECT_EQ(ParseError("\\\\.\\pipe\\a\x01\t\\task"), kControlMessage);
    EXPECT_EQ(ParseError("\r\r\n"), kRowMessage);  // no tab: the row rule comes first
    EXPECT_EQ(ParseError("\\\\.\\pipe\\a\t\\task\x7F"), "(no error)");
}

TEST(ParseActivationRegistrations, ChecksThePipeThenTheTaskPath) {
    EXPECT_EQ(ParseError("\\\\.\\pipe\\a \t\\task"), kAlphabet);
    EXPECT_EQ(ParseError("pipe\\a\t\\task"), kPrefix);
    EXPECT_EQ(ParseError("\xEF\xBB\xBF\\\\.\\pipe\\a\t\\task"), kPrefix);  // a byte-order mark is part of the row
    EXPECT_EQ(ParseError("\\\\.\\pipe\\a\t \\task"), kTaskMessage);
    EXPECT_EQ(ParseError("\\\\.\\pipe\\a\t\\"), kTaskMessage);
    EXPECT_EQ(ParseError("\\\\.\\pipe\\a\t\\folder\\"), kTaskMessage);
    EXPECT_EQ(ParseError("\\\\.\\pipe\\a\ttask"), kTaskMessage);
}

// Every row counts, wherever the wanted one is; invalid UTF-8 fails first.
TEST(ParseActivationRegistrations, FailsOnAnyBadRowOrDuplicate) {
    EXPECT_EQ(ParseError("\\\\.\\pipe\\a\t\\one\n\\\\.\\PIPE\\A\t\\two\n"), "Duplicate named pipe in activations.tsv.");
    EXPECT_EQ(ParseError("\\\\.\\pipe\\a\t\\one\n\\\\.\\pipe\\b\tnot absolute\n"), kTaskMessage);
    EXPECT_EQ(ParseError("no tab here\n\\\\.\\pipe\\a\t\\t\xC3\n"), "Invalid UTF-8 text.");
}

TEST(LoadActivationRegistrations, ReadsThroughTheControlFileRules) {
    FakeFiles files;
    files.content = "\\\\.\\pipe\\a\t\\task\n";
    const ActivationRegistrations table = LoadActivationRegistrationsWith(files.Ops());
    EXPECT_EQ(table.size(), 1u);
    EXPECT_EQ(files.log, (std::vector<std::string>{"open folder", "security folder", "attributes folder", "open file",
                                                   "security file", "attributes file", "final path folder",
                                                   "final path file", "size", "read 17"}));
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
    EXPECT_EQ(load([](FakeFiles& f) { f.folder.openError = 2; }), "0");
    EXPECT_EQ(load([](FakeFiles& f) { f.folder.openError = 3; }), "0");
    EXPECT_EQ(load([](FakeFiles& f) { f.file.openError = 2; }), "0");
    EXPECT_EQ(load([](FakeFiles& f) { f.folder.openError = 5; }), "Could not open task activation directory.");
    EXPECT_EQ(load([](FakeFiles& f) { f.file.openError = 3; }), "Could not open task activation registrations.");
    EXPECT_EQ(load([](FakeFiles& f) { f.file.openError = 32; }), "Could not open task activation registrations.");
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
