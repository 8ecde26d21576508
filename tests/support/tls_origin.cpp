#include "tests/support/tls_origin.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/child_process.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

// Where the set-up's packages put them; PATH first, as a shell would look.
std::string findBinary(const std::string& name) {
    std::vector<std::string> places;
    if (const char* path = std::getenv("PATH")) {
        std::stringstream parts(path);
        for (std::string part; std::getline(parts, part, ':');)
            if (!part.empty()) places.push_back(part);
    }
    places.insert(places.end(), {"/usr/sbin", "/usr/bin", "/sbin", "/bin"});
    for (const std::string& place : places) {
        const std::string candidate = place + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

void run(const std::string& program, const std::vector<std::string>& arguments) {
    const ChildRun ran = runChild(program, arguments);
    if (!WIFEXITED(ran.status) || WEXITSTATUS(ran.status) != 0) {
        std::string line = program;
        for (const std::string& a : arguments) line += " " + a;
        throw std::runtime_error("failed: " + line);
    }
}

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) ::close(fd);
        throw std::runtime_error("no free loopback port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

// A CA (when `issuer` is empty) or a certificate for 127.0.0.1 signed by `issuer`, as NAME.pem
// with its key NAME.key.
void makeCertificate(const std::string& openssl, const std::string& dir, const std::string& name,
                     const std::string& issuer) {
    const std::string key = dir + "/" + name + ".key", pem = dir + "/" + name + ".pem";
    const std::vector<std::string> newKey = {
        "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key};
    if (issuer.empty()) {
        std::vector<std::string> args = {"req", "-x509", "-new"};
        args.insert(args.end(), newKey.begin(), newKey.end());
        args.insert(args.end(), {"-out", pem, "-days", "2", "-subj", "/CN=Velmora test " + name,
                                 "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                                 "keyUsage=critical,keyCertSign,cRLSign"});
        run(openssl, args);
        return;
    }
    const std::string request = dir + "/" + name + ".csr", extensions = dir + "/" + name + ".ext";
    std::ofstream(extensions) << "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                                 "keyUsage=digitalSignature\nextendedKeyUsage=serverAuth\n";
    std::vector<std::string> args = {"req", "-new"};
    args.insert(args.end(), newKey.begin(), newKey.end());
    args.insert(args.end(), {"-out", request, "-subj", "/CN=127.0.0.1"});
    run(openssl, args);
    run(openssl, {"x509", "-req", "-in", request, "-CA", dir + "/" + issuer + ".pem", "-CAkey",
                  dir + "/" + issuer + ".key", "-set_serial", "2", "-days", "2", "-extfile",
                  extensions, "-out", pem});
}

}  // namespace

std::string TlsOrigin::missingTools() {
    std::string missing;
    if (findBinary("nginx").empty())
        missing = "nginx is not installed (package nginx-light of scripts/packages.txt)";
    if (findBinary("openssl").empty())
        missing += std::string(missing.empty() ? "" : "; ") +
                   "openssl is not installed (package openssl of scripts/packages.txt)";
    return missing;
}

TlsOrigin::TlsOrigin(const std::string& upstream) {
    const std::string nginx = findBinary("nginx"), openssl = findBinary("openssl");
    if (nginx.empty() || openssl.empty()) throw std::runtime_error(missingTools());
    const std::string dir = dir_.path();
    // nginx's workers may run as another user: they only need to get through to the logs' dir.
    ::chmod(dir.c_str(), 0755);
    makeCertificate(openssl, dir, "ca", "");
    makeCertificate(openssl, dir, "other-ca", "");
    makeCertificate(openssl, dir, "server", "ca");
    makeCertificate(openssl, dir, "untrusted", "other-ca");
    caFile_ = dir + "/ca.pem";
    caDirectory_ = dir + "/ca.d";
    fs::create_directory(caDirectory_);
    fs::copy_file(caFile_, caDirectory_ + "/ca.pem");
    run(openssl, {"rehash", caDirectory_});

    const std::string upstreamHost = upstream.substr(upstream.find("://") + 3);
    std::ostringstream conf;
    conf << "worker_processes 1;\npid " << dir << "/nginx.pid;\nerror_log " << dir
         << "/error.log warn;\nevents { worker_connections 1024; }\nhttp {\n"
         << "  log_format served '$connection $server_port $server_protocol $status "
            "$request_uri';\n"
         << "  access_log " << dir << "/access.log served;\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        conf << "  " << temp << "_temp_path " << dir << "/temp-" << temp << ";\n";
    conf << "  client_body_buffer_size 1m;\n  proxy_buffering off;\n"
         << "  proxy_request_buffering off;\n  proxy_http_version 1.1;\n"
         << "  proxy_set_header Connection \"\";\n  proxy_set_header Host " << upstreamHost
         << ";\n  proxy_read_timeout 300s;\n"
         << "  upstream cloud { server " << upstreamHost << "; keepalive 32; }\n"
         << "  ssl_certificate " << dir << "/server.pem;\n  ssl_certificate_key " << dir
         << "/server.key;\n";
    struct Setup {
        Server server;
        std::string settings;
    };
    const std::vector<Setup> servers = {
        {Server::H2, "http2_max_concurrent_streams 128;"},
        {Server::H1, ""},
        {Server::Untrusted, "ssl_certificate " + dir + "/untrusted.pem; ssl_certificate_key " +
                                dir + "/untrusted.key;"},
        {Server::NoStreams, "http2_max_concurrent_streams 0;"},
        {Server::AllStreams, "http2_max_concurrent_streams 2147483648;"},
        {Server::Goaway, "keepalive_requests 4;"},
    };
    for (const Setup& setup : servers) {
        const int port = freePort();
        ports_[setup.server] = port;
        conf << "  server {\n    listen 127.0.0.1:" << port << " ssl"
             << (setup.server == Server::H1 ? "" : " http2") << ";\n    " << setup.settings
             << "\n    location / { proxy_pass http://cloud; }\n"
             << "    location /plain/ { rewrite ^/plain(/.*)$ " << upstream << "$1 redirect; }\n"
             << "  }\n";
    }
    conf << "}\n";
    std::ofstream(dir + "/nginx.conf") << conf.str();
    // Returns once the master listens on every port, so the origin is up when this does.
    run(nginx, {"-p", dir, "-c", dir + "/nginx.conf", "-e", dir + "/error.log"});
    running_ = true;
}

TlsOrigin::~TlsOrigin() {
    if (!running_) return;
    pid_t pid = 0;
    std::ifstream(dir_ / "nginx.pid") >> pid;
    if (pid <= 0 || ::kill(pid, SIGTERM) != 0) return;
    // The master is not our child; its directory goes only once it has let go of it.
    for (int i = 0; i < 1000 && ::kill(pid, 0) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

std::string TlsOrigin::url(Server server, const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(ports_.at(server)) + path;
}

std::vector<TlsOrigin::Served> TlsOrigin::served() const {
    std::vector<Served> lines;
    std::ifstream log(dir_ / "access.log");
    for (std::string line; std::getline(log, line);) {
        std::istringstream fields(line);
        Served s;
        if (fields >> s.connection >> s.port >> s.protocol >> s.status >> s.target)
            lines.push_back(std::move(s));
    }
    return lines;
}

}  // namespace velmora::testing
