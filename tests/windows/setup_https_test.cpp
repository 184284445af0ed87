// The installer download against real HTTPS servers on the loopback
// interface. Wine starts Unix programs, so the servers are Debian's python3
// (packages python3-minimal and openssl) with a test CA made for the run, the
// server certificates it issues and its CRL (served over plain HTTP on the
// loopback interface, so Wine's revocation check fetches it as Windows
// would); the CA is trusted only in this Wine prefix's current-user Root
// store, and only for the rows that need it. Without python3 or openssl the
// test is skipped, except under CI (CI=true): there it must run.

#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

#include "os/handles_win32.h"
#include "support/child_process_win32.h"
#include "support/temp_folder_win32.h"

namespace {

// Serves the installer's path on one port per kind and the CRL over plain
// HTTP; writes "KIND PORT" lines to the file "ports" once all are served, and
// stops when that file goes (or after two minutes, whatever happens to the
// test). Every request is logged as "KIND PATH|USER-AGENT".
const char kServerScript[] = R"PY(
import http.server, os, ssl, subprocess, sys, threading, time
folder = sys.argv[1]
def path(name):
    return os.path.join(folder, name)
def openssl(*args):
    subprocess.run(['openssl'] + list(args), check=True, capture_output=True, cwd=folder)
def write(name, text):
    with open(path(name), 'w') as f:
        f.write(text)
BODY = bytes((i * 7 + 3) & 0xFF for i in range(1048576 + 13))
servers = {}

class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'
    def log_message(self, *args):
        pass
    def do_GET(self):
        kind = self.server.kind
        with open(path('requests.log'), 'a') as log:
            log.write('%s %s|%s\n' % (kind, self.path, self.headers.get('User-Agent', '')))
        if kind == 'crl':
            status, body = (200, open(path('ca.crl'), 'rb').read()) if self.path == '/ca.crl' else (404, b'')
        else:
            status, body = (301, b'') if kind == 'moved' else (200, BODY)
        self.send_response(status)
        if kind == 'moved':
            self.send_header('Location', 'https://localhost:%d%s' % (servers['ok'].server_port, self.path))
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)

def serve(kind, context=None):
    server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
    server.kind = kind
    if context:
        server.socket = context.wrap_socket(server.socket, server_side=True)
    servers[kind] = server
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_port

# Revocation is checked for every certificate but the root, so the servers'
# certificates are issued by the test CA and name a CRL, as a real CA's do:
# good is listed nowhere, revoked is in the CRL, unchecked names a CRL that
# cannot be fetched.
crl = 'http://127.0.0.1:%d/ca.crl' % serve('crl')
openssl('req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', 'ca.key', '-out', 'ca.pem', '-days', '2',
        '-subj', '/CN=qsb test CA', '-addext', 'basicConstraints=critical,CA:TRUE',
        '-addext', 'keyUsage=critical,keyCertSign,cRLSign')
openssl('x509', '-in', 'ca.pem', '-outform', 'DER', '-out', 'ca.der')
for name, url in (('good', crl), ('revoked', crl), ('unchecked', crl + '.absent')):
    write(name + '.ext', 'subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n'
          'crlDistributionPoints=URI:%s\n' % url)
    openssl('req', '-newkey', 'rsa:2048', '-nodes', '-keyout', name + '.key', '-out', name + '.csr',
            '-subj', '/CN=localhost')
    openssl('x509', '-req', '-in', name + '.csr', '-CA', 'ca.pem', '-CAkey', 'ca.key', '-CAcreateserial',
            '-out', name + '.pem', '-days', '1', '-extfile', name + '.ext')
write('ca.cnf', '[ca]\ndefault_ca = test\n[test]\ndatabase = index.txt\ncrlnumber = crlnumber\n'
      'default_md = sha256\ndefault_crl_days = 1\nprivate_key = ca.key\ncertificate = ca.pem\n')
write('index.txt', '')
write('crlnumber', '01\n')
openssl('ca', '-config', 'ca.cnf', '-revoke', 'revoked.pem')
openssl('ca', '-config', 'ca.cnf', '-gencrl', '-out', 'ca.crl.pem')
openssl('crl', '-in', 'ca.crl.pem', '-outform', 'DER', '-out', 'ca.crl')
ports = ''
for kind, name in (('ok', 'good'), ('moved', 'good'), ('revoked', 'revoked'), ('unchecked', 'unchecked'),
                   ('tls11', 'good')):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(path(name + '.pem'), path(name + '.key'))
    if kind == 'tls11':
        context.minimum_version, context.maximum_version = ssl.TLSVersion.TLSv1, ssl.TLSVersion.TLSv1_1
        context.set_ciphers('DEFAULT:@SECLEVEL=0')
    ports += '%s %d\n' % (kind, serve(kind, context))
write('ports.tmp', ports)
os.rename(path('ports.tmp'), path('ports'))
deadline = time.monotonic() + 120
while time.monotonic() < deadline and os.path.exists(path('ports')):
    time.sleep(0.05)
)PY";

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// The servers in a folder of their own under /tmp (Wine's drive Z: is the
// Unix root), removed with them. Wine starts a Unix program but neither gives
// it our standard streams nor a waitable handle for it, so files are the only
// signals between the two.
struct LocalHttpsServers {
    LocalHttpsServers() {
        if (::GetFileAttributesW(L"Z:\\usr\\bin\\openssl") == INVALID_FILE_ATTRIBUTES) {
            problem = "openssl is not installed";
            return;
        }
        const std::string unix =
            "/tmp/qsb-https-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(::GetTickCount64());
        folder = L"Z:" + Wide(unix);
        std::replace(folder.begin(), folder.end(), L'/', L'\\');
        MakeFolder(folder);
        WriteTestFile(folder + L"\\server.py", kServerScript);
        // The interpreter's own path as its argv[0]: named bare, it would
        // look itself up on PATH and take the library of whatever Python
        // comes first there.
        std::wstring line = Wide("/usr/bin/python3 " + unix + "/server.py " + unix);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!::CreateProcessW(L"Z:\\usr\\bin\\python3", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &startup, &info)) {
            problem = "python3 cannot be started";
            return;
        }
        const UniqueHandle process(info.hProcess), thread(info.hThread);
        const ULONGLONG giveUp = ::GetTickCount64() + 60000;
        while (::GetFileAttributesW((folder + L"\\ports").c_str()) == INVALID_FILE_ATTRIBUTES) {
            if (::GetTickCount64() > giveUp) {
                problem = "the servers did not start";
                return;
            }
            ::Sleep(20);
        }
        std::istringstream listing(ReadTestFile(folder + L"\\ports"));
        for (std::string kind, port; listing >> kind >> port;) ports[kind] = port;
        certificate = ReadTestFile(folder + L"\\ca.der");
    }
    ~LocalHttpsServers() {
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(folder), ignored);
    }
    std::string Requests() const { return ReadTestFile(folder + L"\\requests.log"); }

    std::string problem;
    std::wstring folder;
    std::map<std::string, std::string> ports;
    std::string certificate;
};

// Adds the test CA to the current user's Root store of this Wine prefix, or
// takes it out again (added first, so that the entry to delete is at hand).
// The registry store itself is used (Wine does not carry a deletion through
// the ROOT collection), and closed after each change.
bool TrustInRoot(const std::string& der, bool trust) {
    const HCERTSTORE store =
        ::CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (store == nullptr) return false;
    PCCERT_CONTEXT added = nullptr;
    bool done = ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                   static_cast<DWORD>(der.size()), CERT_STORE_ADD_USE_EXISTING,
                                                   &added) != FALSE;
    if (done && !trust) {
        done = ::CertDeleteCertificateFromStore(added) != FALSE;  // also frees `added`
    } else if (added != nullptr) {
        ::CertFreeCertificateContext(added);
    }
    ::CertCloseStore(store, 0);
    return done;
}

struct ScopedRootTrust {
    ~ScopedRootTrust() { TrustInRoot(der, false); }
    std::string der;
};

// Downloads from the server of `kind` into a new file, in a fresh process
// (setup-download-probe); the failure's message, or "(no error)".
std::string Download(const LocalHttpsServers& servers, const std::string& kind, std::string& body) {
    const TempFolder folder(L"download");
    const std::wstring path = folder.Path() + L"\\setup.exe";
    ChildProcess probe(TestProgramFolder() + L"\\setup-download-probe.exe",
                       {L"localhost", Wide(servers.ports.at(kind)), path});
    probe.CloseInput();
    const DWORD status = probe.Wait(120000);
    body = ReadTestFile(path);
    if (status == 0) return "(no error)";
    return status == 1 ? probe.TakeAllOutput() : "(probe exit " + std::to_string(status) + ")";
}

}  // namespace

// Certificate validation is WinHTTP's own: a server whose certificate nobody
// trusts is never read from. With the test CA trusted, the request is the
// fixed one (the path for this machine's processor, the user agent) and only
// 200 with the whole body is taken; a redirect is refused naming the host
// asked and never followed; a revoked certificate, one whose CRL cannot be
// fetched, and TLS older than 1.2 are refused before the installer is asked
// for. The good certificate's CRL was fetched, so the revocation check ran.
TEST(SetupHttpsDownload, TakesTheInstallerOnlyFromATrustedCurrentServer) {
    const LocalHttpsServers servers;
    if (!servers.problem.empty()) {
        const char* ci = std::getenv("CI");
        if (ci != nullptr && std::string(ci) == "true")
            FAIL() << servers.problem << " (CI=true: it may not be skipped)";
        GTEST_SKIP() << servers.problem;
    }
    const std::string failed = "Quorl Tholm download failed.";
    struct Row {
        const char* kind;
        bool trusted;
        std::string message;
        bool asked;  // the server saw the request for the installer
    };
    const Row rows[] = {
        {"ok", false, failed, false},
        {"ok", true, "(no error)", true},
        {"moved", true, "Quorl Tholm setup is not available from localhost.", true},
        {"revoked", true, failed, false},
        {"unchecked", true, failed, false},
        {"tls11", true, failed, false},
    };
    std::string body(1048576 + 13, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    const std::string request = " /quorl-tholm/latest/quorl-tholm-windows-x64-setup.exe|Quorl Vane Setup\n";
    std::optional<ScopedRootTrust> trust;
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.kind) + (row.trusted ? ", trusted" : ", untrusted"));
        if (row.trusted && !trust) {
            trust.emplace(servers.certificate);
            ASSERT_TRUE(TrustInRoot(servers.certificate, true));
        }
        const std::size_t logged = servers.Requests().size();
        std::string got;
        EXPECT_EQ(Download(servers, row.kind, got), row.message);
        EXPECT_TRUE(got == (row.message == "(no error)" ? body : "")) << got.size() << " bytes written";
        // The log only grows: what this row's download asked is at its end.
        const std::string asked = servers.Requests().substr(logged);
        EXPECT_EQ(asked.find(row.kind + request) != std::string::npos, row.asked) << asked;
        // A redirect is never followed.
        EXPECT_TRUE(std::string(row.kind) == "ok" || asked.find("ok" + request) == std::string::npos);
    }
    EXPECT_NE(servers.Requests().find("crl /ca.crl|"), std::string::npos);
}
