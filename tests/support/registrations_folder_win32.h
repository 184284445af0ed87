#pragma once
// The user's activation registrations folder (LocalAppData\org.quorlssh) for
// one test: written on demand and removed with its content when the test ends.
// Tests that need it skip themselves when it exists already.

#include <string>

class RegistrationsFolder {
public:
    RegistrationsFolder();
    ~RegistrationsFolder();
    RegistrationsFolder(const RegistrationsFolder&) = delete;
    RegistrationsFolder& operator=(const RegistrationsFolder&) = delete;

    bool Exists() const;
    // Creates the folder and replaces activations.tsv with `content`.
    void Write(const std::string& content);

private:
    std::wstring folder_;
    bool made_ = false;
};
