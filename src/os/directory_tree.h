#pragma once
// Owner of a temporary directory tree: removing it is the release. Removal
// errors are swallowed (a still-running program may hold a file inside) and
// the owner never throws.

#include <chrono>
#include <filesystem>
#include <thread>
#include <utility>

class UniqueDirectoryTree {
public:
    UniqueDirectoryTree() = default;
    explicit UniqueDirectoryTree(std::filesystem::path path) noexcept : path_(std::move(path)) {}
    ~UniqueDirectoryTree() { reset(); }

    UniqueDirectoryTree(const UniqueDirectoryTree&) = delete;
    UniqueDirectoryTree& operator=(const UniqueDirectoryTree&) = delete;
    UniqueDirectoryTree(UniqueDirectoryTree&& other) noexcept : path_(std::exchange(other.path_, {})) {}
    UniqueDirectoryTree& operator=(UniqueDirectoryTree&& other) noexcept {
        if (this != &other) {
            reset();
            path_ = std::exchange(other.path_, {});
        }
        return *this;
    }

    const std::filesystem::path& path() const noexcept { return path_; }
    bool held() const noexcept { return !path_.empty(); }

    // Removes the tree (if one is held) with the standard recursive removal in
    // its error-code form. A program that has just exited from inside the tree
    // can keep its image file for a moment after its process handle is
    // signalled (deletion then only takes effect later, and the folder is not
    // yet empty), so a failed removal is retried for up to one second.
    void reset() noexcept {
        if (path_.empty()) return;
        for (int attempt = 0; attempt < kRemovalAttempts; ++attempt) {
            std::error_code error;
            std::filesystem::remove_all(path_, error);
            if (!error) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(kRemovalRetryMs));
        }
        path_.clear();
    }

private:
    static constexpr int kRemovalAttempts = 21;
    static constexpr int kRemovalRetryMs = 50;

    std::filesystem::path path_;
};
