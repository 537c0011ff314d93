#include "support/certs.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "support/test_support.hpp"

namespace testsupport {
namespace {

void write_text(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs openssl with `args`; its output goes to `log`, which the error quotes.
void openssl(const std::vector<std::string>& args, const std::string& log) {
    std::vector<std::string> argv_s{"openssl"};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (!redirect_standard_streams(log, log)) ::_exit(127);
        ::execvp("openssl", argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid failed");
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string cmd;
        for (auto& a : argv_s) cmd += a + " ";
        throw std::runtime_error("openssl failed: " + cmd + "\n" + read_text(log));
    }
}

std::string random_serial() {
    std::random_device rd;
    std::mt19937_64 gen(rd());
    char buf[32];
    std::snprintf(buf, sizeof(buf), "0x%llx",
                  static_cast<unsigned long long>(gen() & 0x7fffffffffffffffULL) | 1ULL);
    return buf;
}

// A name usable in file names: letters, digits, '-' and '_' only.
std::string file_safe(const std::string& s) {
    std::string out;
    for (char c : s) out += (std::isalnum(static_cast<unsigned char>(c)) || c == '-') ? c : '_';
    return out.empty() ? "x" : out;
}

}  // namespace

Certs::Certs(const std::string& dir, const std::string& server_cn, const std::string& client_cn)
    : dir_(dir), conf_(dir + "/openssl.cnf") {
    write_text(conf_,
               "[req]\n"
               "distinguished_name = dn\n"
               "prompt = no\n"
               "[dn]\n"
               "CN = unused\n"
               "[v3_ca]\n"
               "basicConstraints = critical,CA:TRUE\n"
               "keyUsage = critical,keyCertSign,cRLSign\n"
               "subjectKeyIdentifier = hash\n");
    ca_cert = dir_ + "/ca.pem";
    ca_key = dir_ + "/ca.key";
    openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "2", "-config",
             conf_, "-extensions", "v3_ca", "-subj", "/CN=travine test CA", "-keyout", ca_key,
             "-out", ca_cert},
            dir_ + "/openssl-ca.log");

    server = sign("server", server_cn,
                  "basicConstraints = CA:FALSE\n"
                  "keyUsage = critical,digitalSignature,keyEncipherment\n"
                  "extendedKeyUsage = serverAuth\n"
                  "subjectAltName = DNS:localhost,DNS:" + server_cn + ",IP:127.0.0.1\n");
    client = sign("client", client_cn,
                  "basicConstraints = CA:FALSE\n"
                  "keyUsage = critical,digitalSignature,keyEncipherment\n"
                  "extendedKeyUsage = clientAuth\n"
                  "subjectAltName = DNS:" + client_cn + "\n");

    server_key_encrypted = dir_ + "/server-encrypted.key";
    openssl({"pkey", "-in", server.key, "-aes256", "-passout", "pass:" + pass, "-out",
             server_key_encrypted},
            dir_ + "/openssl-enc.log");
    client_key_encrypted = dir_ + "/client-encrypted.key";
    openssl({"pkey", "-in", client.key, "-aes256", "-passout", "pass:" + pass, "-out",
             client_key_encrypted},
            dir_ + "/openssl-enc.log");
}

KeyPair Certs::sign(const std::string& name, const std::string& cn, const std::string& ext) const {
    const std::string base = dir_ + "/" + name;
    KeyPair kp{base + ".pem", base + ".key"};
    write_text(base + ".ext", ext);
    openssl({"req", "-new", "-newkey", "rsa:2048", "-nodes", "-sha256", "-config", conf_, "-subj",
             "/CN=" + cn, "-keyout", kp.key, "-out", base + ".csr"},
            base + "-req.log");
    openssl({"x509", "-req", "-in", base + ".csr", "-CA", ca_cert, "-CAkey", ca_key, "-set_serial",
             random_serial(), "-days", "2", "-sha256", "-extfile", base + ".ext", "-out", kp.cert},
            base + "-sign.log");
    return kp;
}

KeyPair Certs::make_client(const std::string& cn) const {
    return sign("client-" + file_safe(cn), cn,
                "basicConstraints = CA:FALSE\n"
                "keyUsage = critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage = clientAuth\n"
                "subjectAltName = DNS:" + cn + "\n");
}

KeyPair Certs::make_untrusted(const std::string& cn) const {
    const std::string base = dir_ + "/untrusted-" + file_safe(cn);
    KeyPair kp{base + ".pem", base + ".key"};
    openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "2", "-config",
             conf_, "-subj", "/CN=" + cn, "-addext",
             "subjectAltName = DNS:localhost,DNS:" + cn + ",IP:127.0.0.1", "-addext",
             "extendedKeyUsage = serverAuth,clientAuth", "-keyout", kp.key, "-out", kp.cert},
            base + ".log");
    return kp;
}

nlohmann::json Certs::server_settings(bool verify) const {
    return {{"cert", server.cert}, {"key", server.key}, {"cafile", ca_cert}, {"verify", verify}};
}

nlohmann::json Certs::client_settings() const {
    return {{"cert", client.cert}, {"key", client.key}, {"cafile", ca_cert}};
}

}  // namespace testsupport
