#pragma once

#include <map>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

// nginx on 127.0.0.1 in front of a plain HTTP upstream (the cloud emulator), over TLS with
// certificates made here with openssl: the HTTPS and HTTP/2 origin of the network tests. Every
// server passes every request on to the upstream, so the emulator's fault rules and journal work
// through it. Typical use:
//
//   if (auto missing = TlsOrigin::missingTools(); !missing.empty()) GTEST_SKIP() << missing;
//   TlsOrigin origin(emulator().baseUrl());
//   QelNetworking::setTrustedCertificatesFile(origin.caFile());
//   net->getWithURL(origin.url(TlsOrigin::Server::H2, "/api/..."), ...);
namespace velmora::testing {

class TlsOrigin {
  public:
    enum class Server {
        H2,          // HTTP/2 (ALPN) or HTTP/1.1, streams up to 128 a connection
        H1,          // HTTP/1.1 only
        Untrusted,   // as H2, with a certificate from a CA that `caFile` does not hold
        NoStreams,   // announces 0 concurrent streams
        AllStreams,  // announces 2^31 concurrent streams
        Goaway,      // sends GOAWAY after 4 requests on a connection
    };

    /// What keeps the origin from running ("" when nothing): the nginx or openssl binary that the
    /// set-up's packages (nginx-light, openssl) install is not there.
    static std::string missingTools();

    /// `upstream` is "http://127.0.0.1:PORT". Throws when nginx does not start.
    explicit TlsOrigin(const std::string& upstream);
    ~TlsOrigin();
    TlsOrigin(const TlsOrigin&) = delete;
    TlsOrigin& operator=(const TlsOrigin&) = delete;

    /// "https://127.0.0.1:PORT" of that server, followed by `path`. Below "/plain/" every server
    /// redirects (302) to the same path on the upstream, over plain HTTP.
    std::string url(Server server, const std::string& path = {}) const;
    /// The CA that signed every certificate but the untrusted one: a PEM file, and a directory
    /// holding it under its subject hash.
    const std::string& caFile() const { return caFile_; }
    const std::string& caDirectory() const { return caDirectory_; }

    struct Served {
        long connection = 0;   // nginx's serial number of the connection
        int port = 0;          // the server's port
        std::string protocol;  // "HTTP/2.0", "HTTP/1.1"
        int status = 0;
        std::string target;  // path and query as sent
    };
    /// Every request answered so far, in the order nginx logged them.
    std::vector<Served> served() const;
    int port(Server server) const { return ports_.at(server); }

  private:
    TempDir dir_;
    std::string caFile_;
    std::string caDirectory_;
    std::map<Server, int> ports_;
    bool running_ = false;
};

}  // namespace velmora::testing
