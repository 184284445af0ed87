#pragma once
// The service-mode session: watches pipes and reports each change of state as
// one line "PIPE available|absent|undetermined"; a refused watch gives
// "PIPE refused: SENTENCE".

#include <string>
#include <vector>

#include "session.h"

class WatchSession : public SessionLoop {
public:
    WatchSession(SessionIo io, std::vector<std::string> pipes, SessionOptions options, Clock& clock,
                 SessionOutput output);

private:
    void OnHello() override;
    void OnFrame(const FrameView& frame) override;
    std::optional<SessionEnd> AfterFrames(bool channelEnded) override;

    std::vector<std::string> pipes_;
    std::vector<bool> pending_;  // by watch ID - 1: sent, not yet answered
    std::vector<bool> watching_;
    std::size_t active_ = 0;
};
