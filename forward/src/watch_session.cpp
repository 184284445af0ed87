#include "watch_session.h"

#include <algorithm>

#include "pipes/pipe_path.h"
#include "text/program_error.h"

WatchSession::WatchSession(SessionIo io, std::vector<std::string> pipes, SessionOptions options, Clock& clock,
                           SessionOutput output)
    : SessionLoop(io.stopFd, std::move(options), clock, std::move(output)),
      pipes_(std::move(pipes)),
      pending_(pipes_.size(), false),
      watching_(pipes_.size(), false) {
    AttachChannel(io.channelIn, io.channelOut);
}

void WatchSession::OnHello() {
    for (std::size_t i = 0; i < pipes_.size(); ++i) {
        std::string canonical;
        try {
            canonical = ValidatePipePath(pipes_[i]);
        } catch (const ProgramError& error) {
            output_.line(pipes_[i] + " refused: " + error.what());
            continue;
        }
        link_->Send(FrameType::Watch, static_cast<std::uint32_t>(i + 1),
                    reinterpret_cast<const std::uint8_t*>(canonical.data()), canonical.size());
        pending_[i] = true;
    }
}

void WatchSession::OnFrame(const FrameView& frame) {
    std::size_t index = frame.streamId - std::size_t{1};
    bool known = frame.streamId != 0 && index < pipes_.size();
    switch (static_cast<FrameType>(frame.type)) {
        case FrameType::ServiceReply:
            if (!known || !pending_[index]) UnexpectedFrame(frame);
            pending_[index] = false;
            if (frame.length == 0) {
                watching_[index] = true;
                ++active_;
            } else {
                output_.line(pipes_[index] + " refused: " + PayloadText(frame));
            }
            return;
        case FrameType::WatchState: {
            if (!known || !watching_[index] || frame.length != 1 || frame.payload[0] > 2) UnexpectedFrame(frame);
            static constexpr const char* kStates[] = {"absent", "available", "undetermined"};
            output_.line(pipes_[index] + " " + kStates[frame.payload[0]]);
            return;
        }
        default:
            UnexpectedFrame(frame);
    }
}

std::optional<SessionEnd> WatchSession::AfterFrames(bool) {
    if (HelloSeen() && active_ == 0 && std::none_of(pending_.begin(), pending_.end(), [](bool p) { return p; }))
        throw ProgramError("No pipe is being watched.");
    return std::nullopt;
}
