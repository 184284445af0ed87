#include "setup/setup_download.h"

#include <vector>

#include "text/program_error.h"

std::string SetupConnectMessage(std::string_view host) { return "Could not connect to " + std::string(host) + "."; }

std::string SetupNotAvailableMessage(std::string_view host) {
    return "Quorl Tholm setup is not available from " + std::string(host) + ".";
}

std::string SetupArchitectureName(std::uint16_t processorArchitecture) {
    switch (processorArchitecture) {
        case 0:
            return "x86";
        case 9:
            return "x64";
        case 12:
            return "arm64";
        default:
            throw ProgramError(kSetupArchitectureMessage);
    }
}

std::string SetupDownloadPath(std::string_view architecture) {
    return "/quorl-tholm/latest/quorl-tholm-windows-" + std::string(architecture) + "-setup.exe";
}

std::uint64_t CopySetupBody(const SetupBodyTransfer& transfer) {
    std::vector<unsigned char> buffer(kSetupReadBufferSize, 0);
    std::uint64_t total = 0;
    for (;;) {
        std::uint32_t received = 0;
        std::uint32_t written = 0;
        // A source that claims more than the buffer holds has not read what it
        // claims: treat it as a broken transfer, never as data.
        if (!transfer.read(buffer.data(), kSetupReadBufferSize, received) || received > kSetupReadBufferSize) {
            throw ProgramError(kSetupInterruptedMessage);
        }
        if (received == 0) {
            if (total == 0 || !transfer.flush()) throw ProgramError(kSetupIncompleteMessage);
            return total;
        }
        total += received;
        if (total > kSetupDownloadLimit) throw ProgramError(kSetupTooLargeMessage);
        if (!transfer.write(buffer.data(), received, written) || written != received) {
            throw ProgramError(kSetupSaveMessage);
        }
    }
}
