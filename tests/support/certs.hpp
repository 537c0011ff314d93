#pragma once
// Test certificates made at test time with the openssl command: a CA, a server
// certificate for 127.0.0.1 and localhost signed by it, a client certificate, the
// server and client keys once more encrypted with a pass phrase, and on request further client
// certificates or a self-signed one that the CA does not vouch for.
#include <nlohmann/json.hpp>

#include <string>

namespace testsupport {

struct KeyPair {
    std::string cert;  // PEM file paths
    std::string key;
};

class Certs {
public:
    // Writes every file into `dir` (an existing directory, normally a TempDir's path).
    // Throws std::runtime_error when openssl fails.
    explicit Certs(const std::string& dir, const std::string& server_cn = "localhost",
                   const std::string& client_cn = "client");

    std::string ca_cert;
    std::string ca_key;
    KeyPair server;        // CN = server_cn, SAN DNS:localhost, DNS:server_cn, IP:127.0.0.1
    KeyPair client;        // CN = client_cn, SAN DNS:client_cn, clientAuth
    std::string server_key_encrypted;  // the server key under `pass` (AES-256)
    std::string client_key_encrypted;  // the client key under `pass`
    std::string pass = "test-pass-phrase";

    // A further client certificate signed by the CA, CN and SAN DNS set to `cn`.
    KeyPair make_client(const std::string& cn) const;
    // A self-signed certificate (no CA trusts it) for 127.0.0.1 and localhost.
    KeyPair make_untrusted(const std::string& cn) const;

    // TLS settings objects in the configuration's form.
    nlohmann::json server_settings(bool verify = true) const;  // server cert, CA as cafile
    nlohmann::json client_settings() const;                    // client cert, CA as cafile

private:
    KeyPair sign(const std::string& name, const std::string& cn, const std::string& ext) const;
    std::string dir_;
    std::string conf_;
};

}  // namespace testsupport
