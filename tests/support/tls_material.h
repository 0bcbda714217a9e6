/*
 * Certificates made with the openssl command at test time: a CA, a server
 * certificate for localhost and 127.0.0.1, a server certificate for a name
 * no test connects to, a client certificate, and a rehashed directory that
 * holds the CA. Made once per test program run: the first test that asks
 * pays for it.
 */
#ifndef TAVRIX_TESTS_SUPPORT_TLS_MATERIAL_H
#define TAVRIX_TESTS_SUPPORT_TLS_MATERIAL_H

#include <string>
#include <vector>

#include "broker.h"
#include "scratch_dir.h"

class TlsMaterial
{
public:
    static const TlsMaterial &get();

    /* The directory that holds every file below. */
    std::string dir() const { return files.path(); }

    std::string ca_file() const { return files.file("ca.crt"); }
    /* A directory with the CA under its hash name, for CA directory look-up. */
    std::string ca_dir() const { return files.file("ca.d"); }

    std::string server_cert() const { return files.file("server.crt"); }
    std::string server_key() const { return files.file("server.key"); }
    /* Signed by the CA, but for a host name that is not ours. */
    std::string wrong_name_cert() const { return files.file("wrong-name.crt"); }
    std::string wrong_name_key() const { return files.file("wrong-name.key"); }

    /* File names inside dir(), for configurations that build the path from
     * a variable. */
    static constexpr const char *CLIENT_CERT_NAME = "client.crt";
    static constexpr const char *CLIENT_KEY_NAME = "client.key";

private:
    TlsMaterial();

    void make_authority();
    void make_signed(const std::string &name, const std::string &subject,
        const std::string &extensions);
    void make_ca_dir();
    void openssl(std::vector<std::string> arguments);

    ScratchDir files;
};

/* A broker whose listener under test speaks TLS with the server
 * certificate, or with the one for a name that is not ours. */
BrokerOptions tls_broker(bool matching_name = true, bool require_certificate = false);

#endif
