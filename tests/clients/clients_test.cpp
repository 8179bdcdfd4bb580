// The built ORVA_P11.so in the applications people use, on a plain card and
// on the secure-channel card, through the real pcscd: registered with
// p11-kit (a user module file under a temporary HOME) and reached through
// p11-kit-proxy.so by GnuTLS, OpenSSL and PyKCS11; loaded by path by NSS
// and OpenSSH, and by Firefox from its profile's database. Every check
// reads the outcome: the verified signature, the handshake and what the
// server saw, the login's command output.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "sim/bench.h"
#include "sim/profile.h"
#include "tests/clients/background.h"
#include "tests/e2e/key_urls.h"
#include "tests/e2e/outside.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/subprocess.h"

namespace zorbix::testing {
namespace {

namespace fs = std::filesystem;

struct CardCase {
  const char* profile;
  const char* token;  // the token label
  std::size_t signers, decrypters;
};

const CardCase kCards[] = {
    {"HALVO", "HALVO", 2, 2},    // plain; a decipher-only third key
    {"Vexa", "VEXA ID", 2, 1},   // secure channel
};

// The holder's authentication key, the first key of every card: it signs
// and deciphers; its certificate names this subject.
constexpr char kAuthSubject[] = "CN=ZORBIX PRUEBA (AUTENTICACION)";
constexpr char kAuthCertLabel[] = "CertAutenticacion";
constexpr char kFirefox[] = "/usr/bin/firefox-esr";

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}
bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

std::string UrlText(const std::string& text) {
  std::string out;
  for (char c : text) out += c == ' ' ? std::string("%20") : std::string(1, c);
  return out;
}

class Clients : public ::testing::TestWithParam<CardCase> {
 protected:
  static void SetUpTestSuite() { bench_ = sim::Bench::Start(1).release(); }
  static void TearDownTestSuite() {
    delete bench_;
    bench_ = nullptr;
  }

  void SetUp() override {
    profile_ = sim::FindProfile(GetParam().profile);
    ASSERT_NE(profile_, nullptr);
    bench_->Insert(0, profile_->name);
    token_ = std::string("pkcs11:token=") + UrlText(GetParam().token);
    const std::string authId = KeyUrls(*profile_).front().first.substr(std::string("pkcs11:").size());
    auth_ = token_ + ";" + authId;
    // p11-kit reads the user's module files only for a user other than
    // root: as root, the clients run in a user namespace of their own
    // (still root towards pcscd and the files here).
    fs::create_directories(home_.path() / ".config/pkcs11/modules");
    Write(".config/pkcs11/modules/orva-zel.module", std::string("module: ") + ZORBIX_P11_MODULE + "\n");
    if (getuid() == 0) {
      const ProcessResult probe = RunProgram("/usr/bin/unshare", {"--user", "/bin/true"}, "");
      if (probe.status != 0) GTEST_SKIP() << "p11-kit ignores user module files as root, and no user namespace: "
                                          << probe.err;
      userNamespace_ = true;
    }
  }
  void TearDown() override { bench_->Remove(0); }

  std::string File(const std::string& name) const { return (home_.path() / name).string(); }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(File(name), std::ios::binary) << text;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(File(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  const std::string& Pin() const { return profile_->pin; }

  // A client that finds the module through p11-kit: the temporary HOME
  // (and leading NAME=value arguments) around the command.
  ProcessResult ThroughP11Kit(std::vector<std::string> args, const std::string& input = "") const {
    std::vector<std::string> full{"HOME=" + home_.path().string()};
    std::size_t names = 0;
    while (names < args.size() && args[names].find('=') != std::string::npos && args[names].find('/') != 0) ++names;
    full.insert(full.end(), args.begin(), args.begin() + static_cast<std::ptrdiff_t>(names));
    if (userNamespace_) full.insert(full.end(), {"/usr/bin/unshare", "--user"});
    full.insert(full.end(), args.begin() + static_cast<std::ptrdiff_t>(names), args.end());
    return Outside(full, input);
  }

  // The PEM public key of the authentication certificate (the one the
  // card holds).
  std::string AuthPublicKey() {
    EXPECT_EQ(RunProgram("/usr/bin/openssl", {"x509", "-in", ZORBIX_PKI_DIR "/user-auth-1024.crt.pem", "-pubkey",
                                              "-noout", "-out", File("auth.pub")}, "")
                  .status,
              0);
    return File("auth.pub");
  }

  // A new NSS database in the folder `name` with the module added; its
  // "sql:" name.
  std::string NssDatabaseWithTheModule(const std::string& name) const {
    const std::string db = "sql:" + File(name);
    fs::create_directories(File(name));
    EXPECT_EQ(Outside({"certutil", "-N", "-d", db, "--empty-password"}).status, 0);
    const ProcessResult add =
        Outside({"modutil", "-dbdir", db, "-add", "ZORBIX", "-libfile", ZORBIX_P11_MODULE, "-force"});
    EXPECT_EQ(add.status, 0) << add.out << add.err;
    return db;
  }

  void MakeServerCertificate();
  std::unique_ptr<Background> TlsServer(const std::string& version, int accepts, int& port);
  ProcessResult TlsClientAuth(const std::string& version, const std::string& priority, std::string& serverLog);
  ProcessResult Firefox(const std::string& version, std::string& serverLog);

  std::string CaChain() const {
    std::ofstream(File("chain.pem"), std::ios::binary)
        << std::ifstream(ZORBIX_PKI_DIR "/root-ca.crt.pem").rdbuf();
    std::ofstream(File("chain.pem"), std::ios::binary | std::ios::app)
        << std::ifstream(ZORBIX_PKI_DIR "/card-ca.crt.pem").rdbuf();
    return File("chain.pem");
  }

  static sim::Bench* bench_;
  const sim::Profile* profile_ = nullptr;
  TempDir home_;
  bool userNamespace_ = false;
  std::string token_, auth_;
};

sim::Bench* Clients::bench_ = nullptr;

// p11-kit lists the module from its module file; GnuTLS's p11tool, which
// loads what p11-kit lists, lists, signs, and writes and deletes a
// certificate.
TEST_P(Clients, P11KitAndP11tool) {
  if (OutsidePreloaded()) GTEST_SKIP() << "sanitizer preload: GnuTLS hangs at exit in p11-kit-trust.so";
  const std::size_t keys = profile_->keys.size();
  const ProcessResult modules = ThroughP11Kit({"p11-kit", "list-modules"});
  EXPECT_EQ(modules.status, 0) << modules.err;
  EXPECT_TRUE(Has(modules.out, std::string("orva-zel: ") + ZORBIX_P11_MODULE + "\n")) << modules.out;
  EXPECT_TRUE(Has(modules.out, std::string("    token: ") + GetParam().token + "\n")) << modules.out;

  const ProcessResult tokens = ThroughP11Kit({"p11tool", "--list-tokens"});
  EXPECT_EQ(tokens.status, 0) << tokens.err;
  EXPECT_TRUE(Has(tokens.out, std::string("Label: ") + GetParam().token + "\n")) << tokens.out;

  const ProcessResult before = ThroughP11Kit({"p11tool", "--list-all", token_});
  EXPECT_EQ(before.status, 0) << before.err;
  EXPECT_EQ(Count(before.out, "URL: pkcs11:"), 2 * keys + 1) << before.out;
  EXPECT_EQ(Count(before.out, "type=private"), 0u) << before.out;
  const ProcessResult after = ThroughP11Kit({"GNUTLS_PIN=" + Pin(), "p11tool", "--login", "--list-all", token_});
  EXPECT_EQ(after.status, 0) << after.err;
  EXPECT_EQ(Count(after.out, "URL: pkcs11:"), 3 * keys + 2) << after.out;
  EXPECT_EQ(Count(after.out, "type=private"), keys) << after.out;

  const ProcessResult sign = ThroughP11Kit({"GNUTLS_PIN=" + Pin(), "p11tool", "--login", "--test-sign", auth_});
  EXPECT_EQ(sign.status, 0) << sign.out << sign.err;
  EXPECT_TRUE(Has(sign.out + sign.err, "Verifying against public key in the token... ok")) << sign.out << sign.err;

  const std::string written = token_ + ";object=zorbix%20written;type=cert";
  const ProcessResult write =
      ThroughP11Kit({"GNUTLS_PIN=" + Pin(), "p11tool", "--login", "--write", "--load-certificate",
                     ZORBIX_PKI_DIR "/root-ca.crt.pem", "--label", "zorbix written", token_});
  ASSERT_EQ(write.status, 0) << write.out << write.err;
  const ProcessResult withIt = ThroughP11Kit({"p11tool", "--list-all-certs", token_});
  EXPECT_EQ(Count(withIt.out, "type=cert"), keys + 1) << withIt.out;
  EXPECT_TRUE(Has(withIt.out, "object=zorbix%20written;type=cert")) << withIt.out;
  const ProcessResult exported = ThroughP11Kit({"p11tool", "--export", written, "--outfile", File("written.pem")});
  EXPECT_EQ(exported.status, 0) << exported.err;
  ASSERT_EQ(RunProgram("/usr/bin/openssl", {"x509", "-in", File("written.pem"), "-outform", "DER", "-out",
                                            File("written.der")}, "").status, 0);
  std::ifstream original(ZORBIX_PKI_DIR "/root-ca.crt.der", std::ios::binary);
  EXPECT_EQ(Read("written.der"), std::string(std::istreambuf_iterator<char>(original), {}));

  const ProcessResult remove =
      ThroughP11Kit({"GNUTLS_PIN=" + Pin(), "p11tool", "--login", "--batch", "--delete", written});
  EXPECT_EQ(remove.status, 0) << remove.out << remove.err;
  const ProcessResult withoutIt = ThroughP11Kit({"p11tool", "--list-all-certs", token_});
  EXPECT_EQ(Count(withoutIt.out, "type=cert"), keys) << withoutIt.out;
}

// NSS: the module added to a database, its certificates and keys listed,
// and a CMS signed message that OpenSSL verifies against the card's CA
// chain.
TEST_P(Clients, NssListsAndSignsCms) {
  const std::size_t keys = profile_->keys.size();
  const std::string db = NssDatabaseWithTheModule("nssdb");
  ASSERT_FALSE(HasFailure());
  Write("pin", Pin() + "\n");
  // The chain the signer's certificate is checked against.
  ASSERT_EQ(Outside({"certutil", "-A", "-d", db, "-n", "zorbix root", "-t", "C,C,C", "-i",
                     ZORBIX_PKI_DIR "/root-ca.crt.pem"}).status, 0);
  ASSERT_EQ(Outside({"certutil", "-A", "-d", db, "-n", "zorbix card ca", "-t", ",,", "-i",
                     ZORBIX_PKI_DIR "/card-ca.crt.pem"}).status, 0);

  const std::string token = GetParam().token;
  const ProcessResult certs = Outside({"certutil", "-L", "-h", token, "-d", db, "-f", File("pin")});
  EXPECT_EQ(certs.status, 0) << certs.err;
  EXPECT_EQ(Count(certs.out, "\n" + token + ":Cert"), keys) << certs.out;
  EXPECT_EQ(Count(certs.out, "u,u,u"), keys) << certs.out;
  const ProcessResult privateKeys = Outside({"certutil", "-K", "-h", token, "-d", db, "-f", File("pin")});
  EXPECT_EQ(privateKeys.status, 0) << privateKeys.err;
  EXPECT_EQ(Count(privateKeys.out, "> rsa "), keys) << privateKeys.out;

  Write("message", "signed through NSS by the card\n");
  const ProcessResult sign = Outside({"cmsutil", "-S", "-N", token + ":" + kAuthCertLabel, "-H", "SHA256", "-d", db,
                                      "-f", File("pin"), "-i", File("message"), "-o", File("message.p7")});
  ASSERT_EQ(sign.status, 0) << sign.out << sign.err;
  const ProcessResult verify =
      RunProgram("/usr/bin/openssl", {"cms", "-verify", "-inform", "DER", "-in", File("message.p7"), "-CAfile",
                                      CaChain(), "-out", File("content")}, "");
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  EXPECT_TRUE(Has(verify.err, "CMS Verification successful")) << verify.err;
  EXPECT_EQ(Read("content"), Read("message"));
}

// OpenSSL 3 with the pkcs11 engine on p11-kit's proxy: a SHA-256 signature
// that openssl dgst verifies, and the token's public key as PEM, the
// certificate's.
TEST_P(Clients, OpensslEngineThroughTheProxy) {
  Write("data", "signed through the pkcs11 engine\n");
  const std::string module = std::string("PKCS11_MODULE_PATH=") + ZORBIX_P11_PROXY;
  const ProcessResult sign =
      ThroughP11Kit({module, "openssl", "dgst", "-sha256", "-engine", "pkcs11", "-keyform", "engine", "-sign",
                     auth_ + ";type=private;pin-value=" + Pin(), "-out", File("sig"), File("data")});
  ASSERT_EQ(sign.status, 0) << sign.out << sign.err;
  const ProcessResult pub =
      ThroughP11Kit({module, "openssl", "pkey", "-engine", "pkcs11", "-inform", "engine", "-pubin", "-in",
                     auth_ + ";type=public", "-pubout", "-out", File("token.pub")});
  ASSERT_EQ(pub.status, 0) << pub.out << pub.err;
  const std::string certKey = AuthPublicKey();
  EXPECT_TRUE(Has(Read("token.pub"), "-----BEGIN PUBLIC KEY-----")) << Read("token.pub");
  EXPECT_EQ(Read("token.pub"), Read("auth.pub"));

  const ProcessResult verify = RunProgram(
      "/usr/bin/openssl", {"dgst", "-sha256", "-verify", certKey, "-signature", File("sig"), File("data")}, "");
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  EXPECT_EQ(verify.out, "Verified OK\n");
}

// OpenSSH: ssh-keygen -D prints the card's keys, and ssh -I logs in with
// the authentication key to an sshd of this test on 127.0.0.1, the PIN
// coming from an askpass program.
TEST_P(Clients, OpenSshLogsInWithTheCardKey) {
  if (getuid() != 0) GTEST_SKIP() << "sshd of the test needs root (privilege separation, logins)";
  const ProcessResult listed = Outside({"ssh-keygen", "-D", ZORBIX_P11_MODULE});
  ASSERT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(Count(listed.out, "ssh-rsa "), profile_->keys.size()) << listed.out;
  const ProcessResult converted =
      RunProgram("/usr/bin/ssh-keygen", {"-i", "-m", "PKCS8", "-f", AuthPublicKey()}, "");
  ASSERT_EQ(converted.status, 0) << converted.err;
  const std::string authKey = converted.out.substr(0, converted.out.find('\n'));
  ASSERT_TRUE(Has(listed.out, authKey + " KpubAutenticacion\n")) << listed.out << "\n" << authKey;

  const int port = FreePort();
  ASSERT_GT(port, 0);
  ASSERT_EQ(RunProgram("/usr/bin/ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-f", File("host_key")}, "").status,
            0);
  Write("authorized_keys", authKey + "\n");
  Write("sshd_config", "ListenAddress 127.0.0.1\nPort " + std::to_string(port) + "\nHostKey " + File("host_key") +
                           "\nAuthorizedKeysFile " + File("authorized_keys") + "\nPidFile " + File("sshd.pid") +
                           "\nStrictModes no\nUsePAM no\nPasswordAuthentication no\n"
                           "KbdInteractiveAuthentication no\nPubkeyAuthentication yes\nPermitRootLogin yes\n");
  Write("askpass", "#!/bin/sh\necho '" + Pin() + "'\n");
  chmod(File("askpass").c_str(), 0700);
  fs::create_directories("/run/sshd");  // sshd's privilege separation folder
  Background sshd({"/usr/sbin/sshd", "-D", "-e", "-f", File("sshd_config")}, File("sshd.log"));
  ASSERT_TRUE(Listening(port)) << sshd.Output();

  const std::string user = getpwuid(getuid())->pw_name;
  const ProcessResult login =
      Outside({"SSH_ASKPASS=" + File("askpass"), "SSH_ASKPASS_REQUIRE=force", "ssh", "-F", "/dev/null", "-I",
               ZORBIX_P11_MODULE, "-p", std::to_string(port), "-o", "StrictHostKeyChecking=no", "-o",
               "UserKnownHostsFile=/dev/null", "-o", "PreferredAuthentications=publickey", "-o", "ConnectTimeout=20",
               "-o", "ServerAliveInterval=10", "-o", "LogLevel=ERROR", user + "@127.0.0.1",
               "echo logged in as $(id -un): $((6 * 7))"});
  EXPECT_EQ(login.status, 0) << login.out << login.err << sshd.Output();
  EXPECT_EQ(login.out, "logged in as " + user + ": 42\n") << login.err;
  sshd.Stop();
  EXPECT_TRUE(Has(sshd.Output(), "Accepted publickey for " + user + " from 127.0.0.1")) << sshd.Output();
}

// A server certificate for 127.0.0.1 from a CA of the test's own,
// "server-ca.crt": browsers take no self-signed server certificate.
void Clients::MakeServerCertificate() {
  const std::vector<std::string> ec{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"};
  auto run = [](std::vector<std::string> args) {
    const ProcessResult r = RunProgram("/usr/bin/openssl", args, "");
    EXPECT_EQ(r.status, 0) << r.err;
  };
  std::vector<std::string> ca{"req", "-x509"};
  ca.insert(ca.end(), ec.begin(), ec.end());
  ca.insert(ca.end(), {"-subj", "/CN=ZORBIX test server CA", "-days", "1", "-keyout", File("server-ca.key"), "-out",
                       File("server-ca.crt")});
  run(ca);
  std::vector<std::string> request{"req", "-new"};
  request.insert(request.end(), ec.begin(), ec.end());
  request.insert(request.end(), {"-subj", "/CN=127.0.0.1", "-keyout", File("server.key"), "-out", File("server.csr")});
  run(request);
  Write("server.ext", "subjectAltName=IP:127.0.0.1\nbasicConstraints=critical,CA:FALSE\nextendedKeyUsage=serverAuth\n");
  run({"x509", "-req", "-in", File("server.csr"), "-CA", File("server-ca.crt"), "-CAkey", File("server-ca.key"),
       "-set_serial", "1", "-days", "1", "-extfile", File("server.ext"), "-out", File("server.crt")});
}

// openssl s_server on 127.0.0.1 (`version`: -tls1_2, -tls1_3) that demands
// a client certificate of the card's CA and answers a GET with a page
// naming it; `accepts` connections, 0 for any number. Null (and a failure)
// when it does not start.
std::unique_ptr<Background> Clients::TlsServer(const std::string& version, int accepts, int& port) {
  port = FreePort();
  EXPECT_GT(port, 0);
  MakeServerCertificate();
  // The card's certificates are 1024-bit keys signed with SHA-1: below
  // OpenSSL's default security level.
  std::vector<std::string> args{"/usr/bin/openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port),
                                "-www", version, "-Verify", "1", "-CAfile", CaChain(), "-cert", File("server.crt"),
                                "-key", File("server.key"), "-cipher", "DEFAULT:@SECLEVEL=0"};
  if (accepts > 0) args.insert(args.end(), {"-naccept", std::to_string(accepts)});
  auto server = std::make_unique<Background>(args, File("server.log"));
  if (!server->WaitOutput("ACCEPT")) {
    ADD_FAILURE() << "s_server did not start: " << server->Output();
    return nullptr;
  }
  return server;
}

// TLS client authentication: gnutls-cli takes certificate and key by
// pkcs11: URI (through p11-kit) to the server above. Returns the client's
// result; the server's output goes to `serverLog`.
ProcessResult Clients::TlsClientAuth(const std::string& version, const std::string& priority,
                                     std::string& serverLog) {
  int port = 0;
  const std::unique_ptr<Background> server = TlsServer(version, 1, port);
  if (!server) return {};
  const ProcessResult client = ThroughP11Kit(
      {"GNUTLS_PIN=" + Pin(), "gnutls-cli", "--x509cafile", File("server-ca.crt"), "--x509certfile",
       token_ + ";object=" + kAuthCertLabel + ";type=cert", "--x509keyfile", auth_ + ";type=private", "--priority",
       priority, "-p", std::to_string(port), "127.0.0.1"},
      "GET / HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(server->Wait(10)) << server->Output();
  serverLog = server->Output();
  return client;
}

TEST_P(Clients, GnutlsClientAuthenticationOverTls12) {
  if (OutsidePreloaded()) GTEST_SKIP() << "sanitizer preload: GnuTLS hangs at exit in p11-kit-trust.so";
  std::string serverLog;
  const ProcessResult client = TlsClientAuth("-tls1_2", "NORMAL:-VERS-ALL:+VERS-TLS1.2", serverLog);
  EXPECT_EQ(client.status, 0) << client.out << client.err << serverLog;
  EXPECT_TRUE(Has(client.out + client.err, "- Handshake was completed")) << client.out << client.err;
  EXPECT_TRUE(Has(client.out + client.err, "(TLS1.2-")) << client.out << client.err;
  // The server's page: the client certificate it verified.
  EXPECT_TRUE(Has(client.out, "Client certificate\n")) << client.out;
  EXPECT_TRUE(Has(client.out, kAuthSubject)) << client.out;
  EXPECT_EQ(Count(serverLog, "verify return:1"), 3u) << serverLog;
}

// TLS 1.3 signs the handshake with RSA-PSS only, which the token does not
// offer: GnuTLS completes the handshake without sending the certificate,
// and a server that demands one ends the connection (alert 116).
TEST_P(Clients, GnutlsOverTls13SendsNoCertificate) {
  if (OutsidePreloaded()) GTEST_SKIP() << "sanitizer preload: GnuTLS hangs at exit in p11-kit-trust.so";
  std::string serverLog;
  const ProcessResult client = TlsClientAuth("-tls1_3", "NORMAL", serverLog);
  EXPECT_NE(client.status, 0) << client.out << client.err;
  EXPECT_TRUE(Has(client.out + client.err, "(TLS1.3-")) << client.out << client.err;
  EXPECT_TRUE(Has(client.out + client.err, "- No certificate was sent to peer")) << client.out << client.err;
  EXPECT_TRUE(Has(client.out + client.err, "Received alert [116]")) << client.out << client.err;
  EXPECT_FALSE(Has(client.out, "Client certificate\n")) << client.out;
  EXPECT_TRUE(Has(serverLog, "peer did not return a certificate")) << serverLog;
}

// Firefox ESR, headless, with the module added to its profile's NSS
// database, opens the server's page; it picks the card's certificate by
// itself (security.default_personal_cert) and asks for the PIN through its
// prompt, which the driving script answers.
ProcessResult Clients::Firefox(const std::string& version, std::string& serverLog) {
  const std::string profile = File("firefox");
  const std::string db = NssDatabaseWithTheModule("firefox");
  int port = 0;
  const std::unique_ptr<Background> server = TlsServer(version, 0, port);
  if (!server) return {};
  EXPECT_EQ(RunProgram("/usr/bin/certutil", {"-A", "-d", db, "-n", "server CA", "-t", "C,,", "-i",
                                             File("server-ca.crt")}, "").status, 0);
  const ProcessResult browser =
      RunProgram("/usr/bin/env", {"HOME=" + home_.path().string(), "/usr/bin/python3",
                                  ZORBIX_CLIENTS_DIR "/firefox_client.py", kFirefox, profile,
                                  "https://127.0.0.1:" + std::to_string(port) + "/", GetParam().token},
                 Pin() + "\n");
  server->Stop();
  serverLog = server->Output();
  return browser;
}

TEST_P(Clients, FirefoxAuthenticatesOverTls12) {
  if (OutsidePreloaded()) GTEST_SKIP() << "sanitizer preload: Firefox brings its own allocator";
  ASSERT_TRUE(fs::exists(kFirefox)) << kFirefox << " is missing: run scripts/setup.sh";
  std::string serverLog;
  const ProcessResult browser = Firefox("-tls1_2", serverLog);
  EXPECT_EQ(browser.status, 0) << browser.out << browser.err << serverLog;
  EXPECT_TRUE(Has(browser.out, std::string("PIN asked: 1 (Please authenticate to the security device (") +
                                   GetParam().token + ").)\n"))
      << browser.out;
  // The server's page: the TLS 1.2 session and the client certificate it
  // verified against the card's CA.
  EXPECT_TRUE(Has(browser.out, "Protocol  : TLSv1.2")) << browser.out;
  EXPECT_TRUE(Has(browser.out, "Client certificate\n")) << browser.out;
  EXPECT_TRUE(Has(browser.out, kAuthSubject)) << browser.out;
  EXPECT_GE(Count(serverLog, "verify return:1"), 3u) << serverLog;
}

// Against a TLS 1.3 server NSS finds no signature scheme the key can make
// (RSA-PSS only): Firefox sends no certificate, the server ends the
// handshake and the browser shows its connection error page.
TEST_P(Clients, FirefoxOverTls13SendsNoCertificate) {
  if (OutsidePreloaded()) GTEST_SKIP() << "sanitizer preload: Firefox brings its own allocator";
  ASSERT_TRUE(fs::exists(kFirefox)) << kFirefox << " is missing: run scripts/setup.sh";
  std::string serverLog;
  const ProcessResult browser = Firefox("-tls1_3", serverLog);
  EXPECT_EQ(browser.status, 1) << browser.out << browser.err << serverLog;
  EXPECT_TRUE(Has(browser.out, "Reached error page: about:neterror?e=nssFailure2")) << browser.out;
  EXPECT_FALSE(Has(browser.out, "Client certificate")) << browser.out;
  EXPECT_TRUE(Has(serverLog, "peer did not return a certificate")) << serverLog;
}

// PyKCS11 on p11-kit's proxy: lists the keys, signs and verifies (on the
// card and against the certificate), decrypts.
TEST_P(Clients, PyKcs11ThroughTheProxy) {
  const ProcessResult py = ThroughP11Kit(
      {"/usr/bin/python3", ZORBIX_CLIENTS_DIR "/pykcs11_client.py", ZORBIX_P11_PROXY, GetParam().token, Pin()});
  EXPECT_EQ(py.status, 0) << py.out << py.err;
  EXPECT_EQ(py.out, "keys: " + std::to_string(profile_->keys.size()) + " signed: " +
                        std::to_string(GetParam().signers) + " decrypted: " + std::to_string(GetParam().decrypters) +
                        "\n")
      << py.err;
}

void PrintTo(const CardCase& c, std::ostream* os) { *os << c.profile; }

INSTANTIATE_TEST_SUITE_P(Cards, Clients, ::testing::ValuesIn(kCards),
                         [](const auto& info) { return std::string(info.param.profile); });

}  // namespace
}  // namespace zorbix::testing
