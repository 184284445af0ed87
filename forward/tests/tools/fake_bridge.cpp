// A stand-in for the bridge on its standard streams, for the forwarder's
// process tests and benchmark: greets with Hello, opens every stream (up to
// 64), echoes each stream's data and answers Ping. Like the real bridge it
// cannot pass a client's Eof on to a pipe: the stream stays open, and Data
// after Eof is answered with Close. A Data payload "quit:N" makes it say so on standard error and
// exit with status N, as a bridge whose run fails would.
//
//   qsf-fake-bridge [--fail-open SENTENCE]

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "engine/frame.h"

namespace {

constexpr std::size_t kMaxStreams = 64;
constexpr std::size_t kEchoBlock = 32768;

void WriteAll(const std::uint8_t* bytes, std::size_t count) {
    while (count != 0) {
        ssize_t done = write(1, bytes, count);
        if (done <= 0) std::exit(1);
        bytes += done;
        count -= static_cast<std::size_t>(done);
    }
}

void SendFrame(FrameType type, std::uint32_t id, const std::uint8_t* payload, std::size_t length) {
    FrameHeader header{};
    if (!BuildFrameHeader(static_cast<std::uint32_t>(type), id, static_cast<std::uint32_t>(length), header))
        std::exit(1);
    WriteAll(header.bytes, sizeof header.bytes);
    if (length != 0) WriteAll(payload, length);
}

void SendText(FrameType type, std::uint32_t id, const std::string& text) {
    SendFrame(type, id, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

}  // namespace

int main(int argc, char** argv) {
    std::string failOpen;
    if (argc == 3 && std::strcmp(argv[1], "--fail-open") == 0) failOpen = argv[2];
    SendFrame(FrameType::Hello, 0, nullptr, 0);
    FrameBuffer input;
    std::map<std::uint32_t, bool> open;  // stream ID -> the client sent Eof
    static std::uint8_t block[65536];
    for (;;) {
        ssize_t got = read(0, block, sizeof block);
        if (got <= 0) return 0;
        if (!input.AppendInput(block, static_cast<std::size_t>(got))) return 1;
        FrameView frame;
        ParseStatus status;
        while ((status = input.ParseFrame(frame)) == ParseStatus::Ok) {
            const std::uint32_t id = frame.streamId;
            switch (static_cast<FrameType>(frame.type)) {
            case FrameType::Ping:
                SendFrame(FrameType::Pong, id, frame.payload, frame.length);
                break;
            case FrameType::Open:
                if (!failOpen.empty()) {
                    SendText(FrameType::OpenFailed, id, failOpen);
                } else if (open.size() >= kMaxStreams) {
                    SendText(FrameType::OpenFailed, id, "Stream limit exceeded.");
                } else {
                    open[id] = false;
                    SendText(FrameType::Opened, id, "TEST / fake");
                }
                break;
            case FrameType::Data: {
                auto stream = open.find(id);
                if (stream == open.end()) break;
                if (stream->second) {
                    open.erase(stream);
                    SendFrame(FrameType::Close, id, nullptr, 0);
                    break;
                }
                std::string text(reinterpret_cast<const char*>(frame.payload), frame.length);
                if (text.rfind("quit:", 0) == 0) {
                    std::fprintf(stderr, "fake bridge: asked to quit\n");
                    return std::atoi(text.c_str() + 5);
                }
                for (std::size_t at = 0; at < frame.length; at += kEchoBlock) {
                    std::size_t part = frame.length - at < kEchoBlock ? frame.length - at : kEchoBlock;
                    SendFrame(FrameType::Data, id, frame.payload + at, part);
                }
                break;
            }
            case FrameType::Eof:
                if (open.count(id) != 0) open[id] = true;
                break;
            case FrameType::Close:
                open.erase(id);
                break;
            default:
                std::fprintf(stderr, "Invalid forwarding request.\n");
                return 1;
            }
            input.ConsumeFrame();
        }
        if (status != ParseStatus::NeedMore) {
            std::fprintf(stderr, "Invalid bridge frame.\n");
            return 1;
        }
    }
}
