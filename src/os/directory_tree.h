#pragma once
// Owner of a temporary directory tree: removing it is the release. Removal
// errors are swallowed (a still-running program may hold a file inside); the
// tree is never reported as removed when it is not, nor does its owner throw.

#include <filesystem>
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
    // its error-code form.
    void reset() noexcept {
        if (path_.empty()) return;
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
        path_.clear();
    }

private:
    std::filesystem::path path_;
};
