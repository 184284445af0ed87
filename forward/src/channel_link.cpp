#include "channel_link.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "text/program_error.h"
#include "unique_fd.h"

namespace {

constexpr std::size_t kReadBlock = 65536;
// Input read ahead of the frame being handled; well under the frame buffer's
// 4 MiB and above one whole largest frame.
constexpr std::size_t kReadAhead = 2 * 1048576;
constexpr int kMaxWriteVectors = 64;
constexpr std::size_t kMaxGreeting = 65536;

}  // namespace

std::string EncodeFrame(FrameType type, std::uint32_t streamId, std::string_view payload) {
    FrameHeader header{};
    if (!BuildFrameHeader(static_cast<std::uint32_t>(type), streamId, static_cast<std::uint32_t>(payload.size()),
                          header))
        throw ProgramError("Frame payload too large.");
    return std::string(reinterpret_cast<const char*>(header.bytes), kFrameHeaderSize).append(payload);
}

ChannelLink::ChannelLink(int inFd, int outFd, Clock& clock, KeepAliveTiming timing)
    : inFd_(inFd), outFd_(outFd), clock_(clock), timing_(timing), readBlock_(kReadBlock) {}

void ChannelLink::Send(FrameType type, std::uint32_t streamId, const std::uint8_t* payload, std::size_t length,
                       std::uint32_t owner) {
    Pending frame{EncodeFrame(type, streamId, std::string_view(reinterpret_cast<const char*>(payload), length)), owner};
    if (owner != 0) queuedByOwner_[owner] += frame.bytes.size();
    queue_.push_back(std::move(frame));
}

std::size_t ChannelLink::QueuedFor(std::uint32_t owner) const {
    auto found = queuedByOwner_.find(owner);
    return found == queuedByOwner_.end() ? 0 : found->second;
}

void ChannelLink::Settle(Pending& frame, std::size_t count) {
    if (frame.owner == 0) return;
    auto found = queuedByOwner_.find(frame.owner);
    found->second -= count;
    if (found->second == 0) queuedByOwner_.erase(found);
}

bool ChannelLink::WriteSome() {
    while (!queue_.empty()) {
        iovec vectors[kMaxWriteVectors];
        int count = 0;
        for (auto it = queue_.begin(); it != queue_.end() && count < kMaxWriteVectors; ++it, ++count) {
            std::size_t skip = count == 0 ? headWritten_ : 0;
            vectors[count].iov_base = it->bytes.data() + skip;
            vectors[count].iov_len = it->bytes.size() - skip;
        }
        ssize_t written = writev(outFd_, vectors, count);
        if (written < 0) return WouldBlock();
        auto left = static_cast<std::size_t>(written);
        while (left != 0) {
            Pending& head = queue_.front();
            std::size_t part = std::min(left, head.bytes.size() - headWritten_);
            Settle(head, part);
            headWritten_ += part;
            left -= part;
            if (headWritten_ == head.bytes.size()) {
                queue_.pop_front();
                headWritten_ = 0;
            }
        }
    }
    return true;
}

bool ChannelLink::WantsRead() const { return input_.PendingBytes() < kReadAhead; }

bool ChannelLink::ReadSome() {
    while (WantsRead()) {
        ssize_t got = read(inFd_, readBlock_.data(), readBlock_.size());
        if (got <= 0) return got < 0 && WouldBlock();
        TakeInput(readBlock_.data(), static_cast<std::size_t>(got));
        if (static_cast<std::size_t>(got) < readBlock_.size()) return true;
    }
    return true;
}

void ChannelLink::TakeInput(const std::uint8_t* bytes, std::size_t count) {
    std::string rest;  // what follows the Hello in the read that found it
    if (!helloFound_) {
        static const std::string hello = EncodeFrame(FrameType::Hello, 0, {});
        unscanned_.append(reinterpret_cast<const char*>(bytes), count);
        std::size_t at = unscanned_.find(hello);
        if (at == std::string::npos) {
            // Keep what could still be the start of a Hello split across reads.
            std::size_t keep = std::min(unscanned_.size(), hello.size() - 1);
            greeting_.append(unscanned_, 0, unscanned_.size() - keep);
            unscanned_.erase(0, unscanned_.size() - keep);
            if (greeting_.size() > kMaxGreeting)
                throw ProgramError("The bridge did not start; the remote command printed: \"" +
                                   GreetingLine(greeting_) + "\".");
            return;
        }
        greeting_.append(unscanned_, 0, at);
        helloFound_ = true;
        rest = unscanned_.substr(at);
        unscanned_.clear();
        bytes = reinterpret_cast<const std::uint8_t*>(rest.data());
        count = rest.size();
    }
    if (!input_.AppendInput(bytes, count))
        throw ProgramError("The bridge sent more input than the forwarder can hold.");
}

std::string PayloadText(const FrameView& frame) {
    return frame.length == 0 ? std::string() : std::string(reinterpret_cast<const char*>(frame.payload), frame.length);
}

// Its control characters are escaped where it is printed.
std::string GreetingLine(const std::string& greeting) {
    std::string line = greeting.substr(0, greeting.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > 200) line = line.substr(0, 200) + "...";
    return line;
}

void ChannelLink::StartKeepAlive() {
    keepAlive_ = true;
    lastPingMs_ = clock_.NowMs();
    unansweredSinceMs_ = -1;
}

void ChannelLink::Tick(bool notListening) {
    if (!keepAlive_) return;
    std::int64_t now = clock_.NowMs();
    if (notListening) unansweredSinceMs_ = -1;
    if (now - lastPingMs_ >= timing_.pingIntervalMs) {
        char payload[8];
        ++pingCount_;
        for (int i = 0; i < 8; ++i) payload[i] = static_cast<char>(pingCount_ >> (8 * i));
        Pending ping{EncodeFrame(FrameType::Ping, 0, std::string_view(payload, sizeof payload)), 0};
        // Ahead of queued data (but never inside a frame already begun), so
        // that a full queue does not delay the keep-alive.
        queue_.insert(queue_.begin() + (headWritten_ != 0 && !queue_.empty() ? 1 : 0), std::move(ping));
        lastPingMs_ = now;
        if (unansweredSinceMs_ < 0 && !notListening) unansweredSinceMs_ = now;
    }
    if (unansweredSinceMs_ >= 0 && now - unansweredSinceMs_ >= timing_.deadAfterMs)
        throw ProgramError("The bridge answered no keep-alive for " + std::to_string(timing_.deadAfterMs / 1000) +
                           " seconds.");
}

std::int64_t ChannelLink::NextTimerMs() const {
    if (!keepAlive_) return -1;
    std::int64_t next = lastPingMs_ + timing_.pingIntervalMs;
    if (unansweredSinceMs_ >= 0) next = std::min(next, unansweredSinceMs_ + timing_.deadAfterMs);
    return next;
}
