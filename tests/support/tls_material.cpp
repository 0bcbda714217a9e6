#include "tls_material.h"

#include <filesystem>
#include <vector>

#include "child_process.h"

#ifndef TAVRIX_OPENSSL
#define TAVRIX_OPENSSL "/usr/bin/openssl"
#endif

namespace {

// Our own extension sections, so that nothing depends on the system's
// openssl.cnf. EC keys keep the generation fast.
constexpr const char *OPENSSL_CONF = R"(
[req]
distinguished_name = dn
prompt = no
[dn]
[ca_ext]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[server_ext]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost,IP:127.0.0.1
[wrong_name_ext]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:broker.invalid
[client_ext]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = clientAuth
)";

constexpr const char *DAYS = "2";

} // namespace

const TlsMaterial &TlsMaterial::get()
{
    static const TlsMaterial material;
    return material;
}

TlsMaterial::TlsMaterial()
{
    files.write("openssl.cnf", OPENSSL_CONF);
    make_authority();
    make_signed("server", "/CN=localhost", "server_ext");
    make_signed("wrong-name", "/CN=broker.invalid", "wrong_name_ext");
    make_signed("client", "/CN=tavrix-agent", "client_ext");
    make_ca_dir();
}

void TlsMaterial::openssl(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), TAVRIX_OPENSSL);
    run_program(arguments, files.file("openssl.out"));
}

void TlsMaterial::make_authority()
{
    openssl({"req", "-x509", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
        "-noenc", "-keyout", files.file("ca.key"), "-out", ca_file(), "-days", DAYS, "-subj",
        "/CN=Tavrix Test CA", "-config", files.file("openssl.cnf"), "-extensions", "ca_ext"});
}

void TlsMaterial::make_signed(const std::string &name, const std::string &subject,
    const std::string &extensions)
{
    std::string request = files.file(name + ".csr");
    openssl({"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
        "-noenc", "-keyout", files.file(name + ".key"), "-out", request, "-subj", subject,
        "-config", files.file("openssl.cnf")});
    openssl({"x509", "-req", "-in", request, "-CA", ca_file(), "-CAkey", files.file("ca.key"),
        "-CAcreateserial", "-days", DAYS, "-extfile", files.file("openssl.cnf"), "-extensions",
        extensions, "-out", files.file(name + ".crt")});
}

void TlsMaterial::make_ca_dir()
{
    std::filesystem::create_directory(ca_dir());
    std::filesystem::copy_file(ca_file(), ca_dir() + "/tavrix-test-ca.pem");
    openssl({"rehash", ca_dir()});
}

BrokerOptions tls_broker(bool matching_name, bool require_certificate)
{
    const TlsMaterial &tls = TlsMaterial::get();
    BrokerOptions options;
    options.tls = matching_name ?
        BrokerTls{tls.ca_file(), tls.server_cert(), tls.server_key(), require_certificate} :
        BrokerTls{tls.ca_file(), tls.wrong_name_cert(), tls.wrong_name_key(), require_certificate};
    return options;
}
