// A stand-in for the bridge on its standard streams, for the forwarder's
// process tests and benchmark: greets with Hello, opens every stream, echoes
// each stream's data and answers Ping. A Data payload "quit:N" makes it say so
// on standard error and exit with status N, as a bridge whose run fails would.
// Given a sentence, it refuses every Watch with it.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/frame.h"
#include "support/wire.h"

namespace {

constexpr std::size_t kEchoBlock = 32768;

void Send(FrameType type, std::uint32_t id, const std::string& payload = std::string()) {
    const std::string bytes = FrameBytes(static_cast<std::uint32_t>(type), id, payload);
    for (std::size_t at = 0; at < bytes.size();) {
        ssize_t done = write(1, bytes.data() + at, bytes.size() - at);
        if (done <= 0) std::exit(1);
        at += static_cast<std::size_t>(done);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* refusal = argc > 1 ? argv[1] : nullptr;
    Send(FrameType::Hello, 0);
    std::string input;
    static char block[65536];
    for (;;) {
        ssize_t got = read(0, block, sizeof block);
        if (got <= 0) return 0;
        input.append(block, static_cast<std::size_t>(got));
        std::size_t rest = 0;
        for (const WireFrame& frame : ParseWire(input, &rest)) {
            const std::uint32_t id = frame.streamId;
            switch (static_cast<FrameType>(frame.type)) {
                case FrameType::Ping:
                    Send(FrameType::Pong, id, frame.payload);
                    break;
                case FrameType::Open:
                    Send(FrameType::Opened, id, "TEST / fake");
                    break;
                case FrameType::Data:
                    if (frame.payload.rfind("quit:", 0) == 0) {
                        std::fprintf(stderr, "fake bridge: asked to quit\n");
                        return std::atoi(frame.payload.c_str() + 5);
                    }
                    for (std::size_t at = 0; at < frame.payload.size(); at += kEchoBlock)
                        Send(FrameType::Data, id, frame.payload.substr(at, kEchoBlock));
                    break;
                case FrameType::Eof:  // the echo goes on; the client closes the stream
                case FrameType::Close:
                    break;
                case FrameType::Watch:
                    if (refusal != nullptr) {
                        Send(FrameType::ServiceReply, id, refusal);
                        break;
                    }
                    [[fallthrough]];
                default:
                    std::fprintf(stderr, "Invalid forwarding request.\n");
                    return 1;
            }
        }
        input.erase(0, input.size() - rest);
    }
}
