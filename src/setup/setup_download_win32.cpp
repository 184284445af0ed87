#include "setup/setup_download_win32.h"

#include <windows.h>
#include <winhttp.h>

#include "os/handles_win32.h"
#include "setup/setup_constants.h"
#include "setup/setup_download.h"
#include "text/encoding.h"
#include "text/program_error.h"
#include "text/wide_win32.h"

std::string SetupArchitecture() {
    SYSTEM_INFO info{};
    ::GetNativeSystemInfo(&info);
    return SetupArchitectureName(info.wProcessorArchitecture);
}

void DownloadSetup(HANDLE file) {
    DownloadSetupFrom(file, SetupEndpoint{std::string(kSetupDownloadHost), kSetupDownloadPort});
}

void DownloadSetupFrom(HANDLE file, const SetupEndpoint& endpoint) {
    // Declared in this order so that they close request, connection, session.
    UniqueWinHttpHandle session(::WinHttpOpen(WinStr(Utf8ToWide(kSetupUserAgent)), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                              WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) throw ProgramError(kSetupInitializeMessage);

    // TLS 1.2 at least. Systems that do not know TLS 1.3 refuse the flag for
    // it, and then get TLS 1.2 alone.
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if (!::WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
        protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
        if (!::WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
            throw ProgramError(kSetupInitializeMessage);
        }
    }

    // Without time-outs the download still works, only unbounded: ignored.
    ::WinHttpSetTimeouts(session.get(), 15000, 15000, 60000, 60000);

    const WideString host = Utf8ToWide(endpoint.host);
    UniqueWinHttpHandle connection(::WinHttpConnect(session.get(), WinStr(host), endpoint.port, 0));
    if (!connection) throw ProgramError(SetupConnectMessage(endpoint.host));

    const WideString path = Utf8ToWide(SetupDownloadPath(SetupArchitecture()));
    UniqueWinHttpHandle request(::WinHttpOpenRequest(connection.get(), L"GET", WinStr(path), nullptr,
                                                     WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                     WINHTTP_FLAG_SECURE));
    if (!request) throw ProgramError(kSetupRequestMessage);

    // A redirect could lead anywhere; only the built-in host is asked. A
    // revoked server certificate is refused, and so is one whose revocation
    // cannot be checked (the send then fails with a secure failure).
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    DWORD revocation = WINHTTP_ENABLE_SSL_REVOCATION;
    if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never) ||
        !::WinHttpSetOption(request.get(), WINHTTP_OPTION_ENABLE_FEATURE, &revocation, sizeof revocation) ||
        !::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !::WinHttpReceiveResponse(request.get(), nullptr)) {
        throw ProgramError(kSetupDownloadFailedMessage);
    }

    DWORD status = 0;
    DWORD statusSize = sizeof status;
    if (!::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX) ||
        status != 200) {
        throw ProgramError(SetupNotAvailableMessage(endpoint.host));
    }

    SetupBodyTransfer transfer;
    transfer.read = [&](unsigned char* buffer, std::uint32_t capacity, std::uint32_t& received) {
        DWORD got = 0;
        if (!::WinHttpReadData(request.get(), buffer, capacity, &got)) return false;
        received = got;
        return true;
    };
    transfer.write = [&](const unsigned char* data, std::uint32_t size, std::uint32_t& written) {
        DWORD wrote = 0;
        if (!::WriteFile(file, data, size, &wrote, nullptr)) return false;
        written = wrote;
        return true;
    };
    transfer.flush = [&] { return ::FlushFileBuffers(file) != FALSE; };
    CopySetupBody(transfer);
}
