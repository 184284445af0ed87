#include "session.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "signal_pipe.h"
#include "text/program_error.h"

namespace {

constexpr std::size_t kMaxErrorLine = 1000;
enum Kind { kStop = -1, kErrorText = -2, kChannelIn = -3, kChannelOut = -4 };

// Every complete line of the greeting from `shown` on, for -v.
void ShowGreeting(const std::string& greeting, std::size_t& shown, const SessionOutput& output) {
    std::size_t newline;
    while ((newline = greeting.find('\n', shown)) != std::string::npos) {
        std::string line = greeting.substr(shown, newline - shown);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        output.problem("remote: " + line);
        shown = newline + 1;
    }
}

[[noreturn]] void NoHello(const std::string& greeting, std::int64_t limitMs) {
    std::string said = greeting.empty() ? "" : "; the remote command printed: \"" + GreetingLine(greeting) + "\"";
    throw ProgramError("The bridge did not start within " + std::to_string(limitMs / 1000) + " seconds" + said + ".");
}

}  // namespace

std::int64_t Earliest(std::int64_t a, std::int64_t b) { return a < 0 ? b : (b < 0 ? a : std::min(a, b)); }

void UnexpectedFrame(const FrameView& frame) {
    throw ProgramError("The bridge sent an unexpected frame (type " + std::to_string(frame.type) + ", stream " +
                       std::to_string(frame.streamId) + ").");
}

bool CommandErrorText::ReadSome() {
    char block[4096];
    ssize_t got = read(fd_, block, sizeof block);
    if (got < 0) return WouldBlock();
    if (got == 0) {
        open_ = false;
        return false;
    }
    partial_.append(block, static_cast<std::size_t>(got));
    std::size_t newline;
    while ((newline = partial_.find('\n')) != std::string::npos || partial_.size() > kMaxErrorLine) {
        std::size_t cut = newline == std::string::npos ? kMaxErrorLine : newline;
        std::string line = partial_.substr(0, cut);
        partial_.erase(0, newline == std::string::npos ? cut : cut + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (echo_) problem_("command: " + line);
        last_ = line;
    }
    return true;
}

std::string CommandErrorText::LastLine() const {
    std::string rest = partial_;
    while (!rest.empty() && (rest.back() == '\r' || rest.back() == ' ')) rest.pop_back();
    return rest.empty() ? last_ : rest;
}

int ReapCommand(Command& command, CommandErrorText& errors) {
    int status = 0;
    if (!command.WaitExit(5000, status)) status = command.Stop(0);
    // Its last words may still be in the pipe after it exited.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
    while (errors.Fd() >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd fd{errors.Fd(), POLLIN, 0};
        if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0 || !errors.ReadSome()) break;
    }
    return status;
}

SessionLoop::SessionLoop(int stopFd, SessionOptions options, Clock& clock, SessionOutput output)
    : options_(std::move(options)), clock_(clock), output_(std::move(output)), stopFd_(stopFd) {}

SessionLoop::~SessionLoop() = default;

void SessionLoop::AttachChannel(int in, int out) {
    link_ = std::make_unique<ChannelLink>(in, out, clock_, options_.keepAlive);
    helloSeen_ = false;
    helloDueMs_ = clock_.NowMs() + options_.helloLimitMs;
    greetingShown_ = 0;
}

void SessionLoop::DetachChannel() {
    link_.reset();
    helloSeen_ = false;
}

std::optional<SessionEnd> SessionLoop::Step(int maxWaitMs) {
    if (link_) link_->Tick(Paused());
    if (link_ && !helloSeen_ && clock_.NowMs() >= helloDueMs_) NoHello(link_->Greeting(), options_.helloLimitMs);
    RunTimers();

    std::vector<Watched> watched;
    if (stopFd_ >= 0) watched.push_back({stopFd_, POLLIN, kStop, 0});
    if (link_ && errorText_ != nullptr && errorText_->Fd() >= 0)
        watched.push_back({errorText_->Fd(), POLLIN, kErrorText, 0});
    if (link_ && !Paused() && link_->WantsRead()) watched.push_back({link_->InFd(), POLLIN, kChannelIn, 0});
    if (link_ && link_->WantsWrite()) watched.push_back({link_->OutFd(), POLLOUT, kChannelOut, 0});
    AddWatches(watched);
    std::vector<pollfd> fds;
    for (const Watched& w : watched) fds.push_back(pollfd{w.fd, w.events, 0});
    std::int64_t next = NextTimerMs();
    if (link_) next = Earliest(next, link_->NextTimerMs());
    if (link_ && !helloSeen_) next = Earliest(next, helloDueMs_);
    const int waitMs =
        next < 0 ? maxWaitMs : static_cast<int>(std::clamp<std::int64_t>(next - clock_.NowMs(), 0, maxWaitMs));
    int ready = poll(fds.data(), fds.size(), waitMs);
    if (ready < 0 && errno != EINTR) throw ProgramError("Could not wait for input.");

    bool channelEnded = false;
    for (std::size_t i = 0; ready > 0 && i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        switch (watched[i].kind) {
            case kStop:
                if (TakeSignals(stopFd_)) return SessionEnd::Stopped;
                break;
            case kErrorText:
                errorText_->ReadSome();
                break;
            case kChannelIn:
                if (!link_->ReadSome()) channelEnded = true;
                if (options_.verbose) ShowGreeting(link_->Greeting(), greetingShown_, output_);
                break;
            case kChannelOut:
                if (!link_->WriteSome()) return SessionEnd::ChannelClosed;
                break;
            default:
                OnReady(watched[i], fds[i].revents);
        }
    }

    HandleFrames();
    if (!link_) return std::nullopt;
    if (auto end = AfterFrames(channelEnded)) return end;
    if (channelEnded) return SessionEnd::ChannelClosed;
    if (link_->WantsWrite() && !link_->WriteSome()) return SessionEnd::ChannelClosed;
    return std::nullopt;
}

void SessionLoop::HandleFrames() {
    // Frames held while the channel was paused are handled as soon as it is not.
    while (link_ && !Paused()) {
        FrameView frame;
        ParseStatus status = link_->Parse(frame);
        if (status == ParseStatus::NeedMore) break;
        if (status != ParseStatus::Ok) throw ProgramError("The bridge sent an invalid frame.");
        // Any frame shows the channel alive; the link hands on nothing before the Hello it found.
        link_->NoteArrival();
        if (!helloSeen_) {
            helloSeen_ = true;
            link_->StartKeepAlive();
            OnHello();
        } else if (static_cast<FrameType>(frame.type) != FrameType::Pong) {
            OnFrame(frame);
        }
        link_->Consume();
    }
}

SessionEnd SessionLoop::Run() {
    for (;;) {
        if (auto end = Step(1000)) return *end;
    }
}
