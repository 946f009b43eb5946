#pragma once
// Certificates for TLS tests, made when a test needs them: nothing is read
// from the system or kept between runs.
#include <string>

namespace testsupport {

struct TestCert {
    std::string certFile;  // PEM certificate, self-signed: it is its own authority
    std::string keyFile;   // PEM private key
};

// A self-signed certificate for localhost and 127.0.0.1, in `dir`, under
// names beginning with `stem`. Empty paths when it cannot be made.
TestCert MakeTestCert(const std::string& dir, const std::string& stem = "server");

// The name a folder of trusted certificates gives this certificate
// ("<subject hash>.0"), as the library looks it up.
std::string HashedName(const std::string& certFile);

}  // namespace testsupport
