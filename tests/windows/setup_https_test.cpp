// The installer download against a real HTTPS server on the loopback
// interface. Wine starts Unix programs, so the server is Debian's python3
// (packages python3-minimal and openssl) with a test CA made for the run, the
// server certificates it issues and its CRL (served over plain HTTP on the
// loopback interface, so Wine's revocation check fetches it as Windows
// would); the CA is trusted only in this Wine prefix's current-user Root
// store, and only inside the tests that need it. Without python3 or openssl
// the tests are skipped, except under CI (CI=true): there the revocation and
// TLS checks must run, so a missing tool fails them.

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "support/child_process_win32.h"
#include "support/error_message.h"
#include "support/setup_support_win32.h"
#include "text/wide_win32.h"

namespace {

// Serves the same request path differently on each port; every request is
// logged as "kind method path|user-agent". Exits when told to, or after two
// minutes whatever happens to the test.
const char kServerScript[] = R"PY(
import http.server, os, ssl, subprocess, sys, threading, time
folder = sys.argv[1]
def path(name):
    return os.path.join(folder, name)
def openssl(*args):
    subprocess.run(['openssl'] + list(args), check=True, capture_output=True, cwd=folder)

# Revocation is checked for every certificate but the root, so the server's
# certificate is issued by a test CA (the one trusted in the tests) and names
# a CRL served here over plain HTTP, as a real CA's certificates do.
class CrlHandler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass
    def do_GET(self):
        with open(path('requests.log'), 'a') as log:
            log.write('crl GET %s|\n' % self.path)
        body = open(path('ca.crl'), 'rb').read() if self.path == '/ca.crl' else None
        self.send_response(200 if body else 404)
        self.send_header('Content-Length', str(len(body or b'')))
        self.end_headers()
        self.wfile.write(body or b'')
crl_server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), CrlHandler)
threading.Thread(target=crl_server.serve_forever, daemon=True).start()
crl_base = 'http://127.0.0.1:%d/' % crl_server.server_port

openssl('req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', 'ca.key', '-out', 'cert.pem', '-days', '2',
        '-subj', '/CN=qsb test CA', '-addext', 'basicConstraints=critical,CA:TRUE',
        '-addext', 'keyUsage=critical,keyCertSign,cRLSign')
# good: listed nowhere; revoked: in the CRL; unchecked: its CRL cannot be fetched.
for name, crl in (('good', 'ca.crl'), ('revoked', 'ca.crl'), ('unchecked', 'absent.crl')):
    with open(path(name + '.ext'), 'w') as ext:
        ext.write('subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n'
                  'crlDistributionPoints=URI:%s%s\n' % (crl_base, crl))
    openssl('req', '-newkey', 'rsa:2048', '-nodes', '-keyout', name + '.key', '-out', name + '.csr',
            '-subj', '/CN=localhost')
    openssl('x509', '-req', '-in', name + '.csr', '-CA', 'cert.pem', '-CAkey', 'ca.key', '-CAcreateserial',
            '-out', name + '.pem', '-days', '1', '-extfile', name + '.ext')
with open(path('ca.cnf'), 'w') as cnf:
    cnf.write('[ca]\ndefault_ca = test\n[test]\ndatabase = index.txt\ncrlnumber = crlnumber\n'
              'default_md = sha256\ndefault_crl_days = 1\nprivate_key = ca.key\ncertificate = cert.pem\n')
open(path('index.txt'), 'w').close()
with open(path('crlnumber'), 'w') as number:
    number.write('01\n')
openssl('ca', '-config', 'ca.cnf', '-revoke', 'revoked.pem')
openssl('ca', '-config', 'ca.cnf', '-gencrl', '-out', 'ca.crl.pem')
openssl('crl', '-in', 'ca.crl.pem', '-outform', 'DER', '-out', 'ca.crl')
BODY = bytes((i * 7 + 3) & 0xFF for i in range(1048576 + 13))
servers = {}

class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'
    def log_message(self, *args):
        pass
    def do_GET(self):
        kind = self.server.kind
        with open(os.path.join(folder, 'requests.log'), 'a') as log:
            log.write('%s %s %s|%s\n' % (kind, self.command, self.path, self.headers.get('User-Agent', '')))
        if kind in ('ok', 'revoked', 'unchecked', 'tls11'):
            self.reply(200, BODY, True)
        elif kind == 'close':
            self.reply(200, BODY, False)
        elif kind == 'empty':
            self.reply(200, b'', True)
        elif kind == 'missing':
            self.reply(404, b'not here', True)
        elif kind == 'moved':
            self.send_response(301)
            self.send_header('Location', 'https://localhost:%d%s' % (servers['ok'].server_port, self.path))
            self.send_header('Content-Length', '0')
            self.end_headers()
    def reply(self, status, body, with_length):
        self.send_response(status)
        if with_length:
            self.send_header('Content-Length', str(len(body)))
        else:
            self.send_header('Connection', 'close')
            self.close_connection = True
        self.end_headers()
        self.wfile.write(body)

contexts = {}
for name in ('good', 'revoked', 'unchecked'):
    contexts[name] = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    contexts[name].load_cert_chain(path(name + '.pem'), path(name + '.key'))
for kind in ('ok', 'close', 'empty', 'missing', 'moved', 'revoked', 'unchecked', 'tls11'):
    server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
    server.kind = kind
    context = contexts.get(kind, contexts['good'])
    if kind == 'tls11':
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(path('good.pem'), path('good.key'))
        context.minimum_version = ssl.TLSVersion.TLSv1
        context.maximum_version = ssl.TLSVersion.TLSv1_1
        try:
            context.set_ciphers('DEFAULT:@SECLEVEL=0')
        except ssl.SSLError:
            pass
    server.socket = context.wrap_socket(server.socket, server_side=True)
    servers[kind] = server
    threading.Thread(target=server.serve_forever, daemon=True).start()
with open(os.path.join(folder, 'ports.tmp'), 'w') as ports:
    for kind, server in servers.items():
        ports.write('%s %d\n' % (kind, server.server_port))
os.rename(os.path.join(folder, 'ports.tmp'), os.path.join(folder, 'ports'))
deadline = time.monotonic() + 120
while time.monotonic() < deadline and not os.path.exists(os.path.join(folder, 'stop')):
    time.sleep(0.05)
for server in list(servers.values()) + [crl_server]:
    server.shutdown()
open(os.path.join(folder, 'stopped'), 'w').close()
)PY";

constexpr std::size_t kBodySize = 1048576 + 13;

std::string ExpectedBody() {
    std::string body(kBodySize, '\0');
    for (std::size_t i = 0; i < kBodySize; ++i) body[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    return body;
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Waits up to `timeoutMs` for `path` to exist. Polling a file the server
// writes is the only signal a Unix process can give a Wine one here.
bool WaitForFile(const std::wstring& path, DWORD timeoutMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    while (!Exists(path)) {
        if (::GetTickCount64() >= deadline) return false;
        ::Sleep(20);
    }
    return true;
}

void WriteTextFile(const std::wstring& path, const std::string& text) {
    UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    if (!file) throw std::runtime_error("cannot create file");
    WriteAll(file.get(), text);
}

// One server process for the whole suite, in a unique folder under /tmp
// (Wine's drive Z: is the Unix root). The folder goes on every path.
class LocalHttpsServer {
public:
    LocalHttpsServer() {
        if (!Exists(L"Z:\\usr\\bin\\python3") || !Exists(L"Z:\\usr\\bin\\openssl")) {
            problem_ = "python3 or openssl is not installed";
            return;
        }
        GUID guid{};
        ::CoCreateGuid(&guid);
        char name[64];
        std::snprintf(name, sizeof name, "qsb-https-%08lx%04x%04x", static_cast<unsigned long>(guid.Data1), guid.Data2,
                      guid.Data3);
        unixFolder_ = std::string("/tmp/") + name;
        folder_ = L"Z:\\tmp\\" + std::wstring(name, name + std::strlen(name));
        if (!::CreateDirectoryW(folder_.c_str(), nullptr)) {
            problem_ = "cannot create the server folder";
            folder_.clear();
            return;
        }
        WriteTextFile(folder_ + L"\\server.py", kServerScript);

        // Wine starts a Unix program but gives no waitable handle for it.
        std::string line = "/usr/bin/python3 " + unixFolder_ + "/server.py " + unixFolder_;
        std::wstring commandLine(line.begin(), line.end());
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!::CreateProcessW(L"Z:\\usr\\bin\\python3", commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &startup, &info)) {
            problem_ = "cannot start python3";
            return;
        }
        started_ = true;
        UniqueHandle process(info.hProcess);
        UniqueHandle thread(info.hThread);
        if (!WaitForFile(folder_ + L"\\ports", 30000)) {
            problem_ = "the server did not start";
            return;
        }
        const std::string ports = ReadWholeFile(folder_ + L"\\ports");
        char kind[16];
        unsigned port = 0;
        for (std::size_t at = 0; at < ports.size();) {
            const std::size_t end = ports.find('\n', at);
            if (std::sscanf(ports.substr(at, end - at).c_str(), "%15s %u", kind, &port) == 2) ports_[kind] = port;
            at = end == std::string::npos ? ports.size() : end + 1;
        }
        const std::string pem = ReadWholeFile(folder_ + L"\\cert.pem");
        DWORD size = 0;
        if (!::CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
            problem_ = "cannot read the certificate";
            return;
        }
        certificate_.resize(size);
        ::CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, certificate_.data(), &size, nullptr, nullptr);
    }

    ~LocalHttpsServer() {
        if (folder_.empty()) return;
        if (started_) {
            try {
                WriteTextFile(folder_ + L"\\stop", "");
            } catch (const std::exception&) {
            }
            WaitForFile(folder_ + L"\\stopped", 10000);
        }
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(folder_), ignored);
    }

    LocalHttpsServer(const LocalHttpsServer&) = delete;
    LocalHttpsServer& operator=(const LocalHttpsServer&) = delete;

    const std::string& Problem() const { return problem_; }
    std::uint16_t Port(const std::string& kind) const {
        const auto found = ports_.find(kind);
        return found == ports_.end() ? 0 : static_cast<std::uint16_t>(found->second);
    }
    const std::vector<BYTE>& Certificate() const { return certificate_; }
    std::string Requests() const {
        return Exists(folder_ + L"\\requests.log") ? ReadWholeFile(folder_ + L"\\requests.log") : std::string();
    }

private:
    std::wstring folder_;
    std::string unixFolder_;
    bool started_ = false;
    std::string problem_;
    std::map<std::string, unsigned> ports_;
    std::vector<BYTE> certificate_;
};

// The server's certificate in the current user's Root store of this Wine
// prefix, for one scope. The registry store itself is used (Wine does not
// carry a deletion through the ROOT collection), and closed after each change.
class ScopedRootTrust {
    static HCERTSTORE OpenUserRootStore() {
        return ::CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    }

public:
    explicit ScopedRootTrust(const std::vector<BYTE>& certificate) : certificate_(certificate) {
        const HCERTSTORE store = OpenUserRootStore();
        if (store == nullptr) return;
        trusted_ = ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, certificate_.data(),
                                                      static_cast<DWORD>(certificate_.size()),
                                                      CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != FALSE;
        ::CertCloseStore(store, 0);
    }
    ~ScopedRootTrust() {
        if (!trusted_) return;
        const HCERTSTORE store = OpenUserRootStore();
        if (store == nullptr) return;
        PCCERT_CONTEXT ours = ::CertCreateCertificateContext(X509_ASN_ENCODING, certificate_.data(),
                                                             static_cast<DWORD>(certificate_.size()));
        if (ours != nullptr) {
            PCCERT_CONTEXT found =
                ::CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, ours, nullptr);
            if (found != nullptr) ::CertDeleteCertificateFromStore(found);  // also frees `found`
            ::CertFreeCertificateContext(ours);
        }
        ::CertCloseStore(store, 0);
    }
    ScopedRootTrust(const ScopedRootTrust&) = delete;
    ScopedRootTrust& operator=(const ScopedRootTrust&) = delete;

    bool Trusted() const { return trusted_; }

private:
    std::vector<BYTE> certificate_;
    bool trusted_ = false;
};

bool UnderCi() {
    wchar_t value[8] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"CI", value, 8);
    return length > 0 && length < 8 && ::lstrcmpiW(value, L"true") == 0;
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

const std::string kRequestLine = "GET /quorl-tholm/latest/quorl-tholm-windows-x64-setup.exe|Quorl Vane Setup\n";

class SetupHttpsDownload : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = new LocalHttpsServer(); }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override {
        if (server_->Problem().empty()) return;
        if (UnderCi()) FAIL() << server_->Problem() << " (CI=true: these tests may not be skipped)";
        GTEST_SKIP() << server_->Problem();
    }

    // Downloads from the server's `kind` port into a fresh file, in a fresh
    // process (setup-download-probe); the failure's message, or "(no error)".
    std::string Download(const std::string& kind, std::string* body = nullptr) {
        wchar_t folder[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, folder);
        GUID guid{};
        ::CoCreateGuid(&guid);
        wchar_t name[64];
        std::swprintf(name, 64, L"qsb-download-%08lx%04x.bin", static_cast<unsigned long>(guid.Data1), guid.Data2);
        const std::wstring path = std::wstring(folder) + name;
        const std::string port = std::to_string(server_->Port(kind));

        ProgramResult result;
        {
            ChildProcess probe(TestProgramFolder() + L"\\setup-download-probe.exe",
                               {L"localhost", std::wstring(port.begin(), port.end()), path});
            probe.CloseInput();
            result.exitCode = probe.Wait(120000);
            result.out = probe.TakeAllOutput();
        }
        lastFileSize_ = Exists(path) ? ReadWholeFile(path).size() : ~std::uint64_t{0};
        if (body != nullptr && Exists(path)) *body = ReadWholeFile(path);
        ::DeleteFileW(path.c_str());
        if (result.exitCode == 0) return "(no error)";
        if (result.exitCode == 1) return result.out;
        return "(probe exit " + std::to_string(result.exitCode) + ")";
    }

    static LocalHttpsServer* server_;
    std::uint64_t lastFileSize_ = 0;
};

LocalHttpsServer* SetupHttpsDownload::server_ = nullptr;

}  // namespace

// Certificate validation is WinHTTP's own: a server whose certificate nobody
// trusts is never read from.
TEST_F(SetupHttpsDownload, RefusesAServerWithAnUntrustedCertificate) {
    const std::size_t before = Count(server_->Requests(), kRequestLine);
    EXPECT_EQ(Download("ok"), "Quorl Tholm download failed.");
    EXPECT_EQ(lastFileSize_, 0u);
    EXPECT_EQ(Count(server_->Requests(), kRequestLine), before);
}

// With the test CA trusted, each server's answer and what it was asked: the
// request is the fixed one (path for this machine's processor, the user
// agent); only 200 with a body is taken, whether the length is given or the
// connection's end marks it; 404 and 301 are refused naming the host asked,
// and the redirect is not followed; a revoked certificate, one whose CRL
// cannot be fetched, and TLS older than 1.2 are refused before the installer
// is asked for. The good certificate's CRL was fetched, so the revocation
// check really ran.
TEST_F(SetupHttpsDownload, TakesOnlyAWholeBodyFromATrustedCurrentServer) {
    const ScopedRootTrust trust(server_->Certificate());
    ASSERT_TRUE(trust.Trusted());
    const std::string failed = "Quorl Tholm download failed.";
    const std::string unavailable = "Quorl Tholm setup is not available from localhost.";
    struct Row {
        std::string kind;
        std::string message;
        bool asked;           // the server saw the request for the installer
        bool nothingWritten;  // the file stays empty
    };
    for (const Row& row : std::vector<Row>{{"ok", "(no error)", true, false},
                                           {"close", "(no error)", true, false},
                                           {"empty", "Quorl Tholm setup download is empty or incomplete.", true, false},
                                           {"missing", unavailable, true, true},
                                           {"moved", unavailable, true, true},
                                           {"revoked", failed, false, true},
                                           {"unchecked", failed, false, true},
                                           {"tls11", failed, false, false}}) {
        SCOPED_TRACE(row.kind);
        const std::string before = server_->Requests();
        std::string body;
        EXPECT_EQ(Download(row.kind, &body), row.message);
        if (row.message == "(no error)") {
            EXPECT_TRUE(body == ExpectedBody()) << body.size() << " bytes";
        }
        if (row.nothingWritten) {
            EXPECT_EQ(lastFileSize_, 0u);
        }
        const std::string after = server_->Requests();
        const auto asked = [&](const std::string& kind) {
            return Count(after, kind + " " + kRequestLine) - Count(before, kind + " " + kRequestLine);
        };
        EXPECT_EQ(asked(row.kind), row.asked ? 1u : 0u);
        EXPECT_EQ(asked("ok"), row.kind == "ok" ? 1u : 0u);  // a redirect is never followed
    }
    EXPECT_GE(Count(server_->Requests(), "crl GET /ca.crl|"), 1u);
}
