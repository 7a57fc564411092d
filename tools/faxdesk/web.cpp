/*
 * web.cpp - the HTTP side of faxdesk on cpp-httplib: listens (TLS when a
 * certificate and key are given, and only then beyond loopback), bounds
 * what a request may carry, turns requests into faxdesk::Request and
 * answers with the desk's Response plus headers that keep pages from
 * being framed, sniffed or running scripts.
 */
#include <httplib.h>

#include <arpa/inet.h>

#include <csignal>
#include <iostream>
#include <memory>

#include "web.h"

namespace faxdesk {
namespace {

httplib::Server *g_server = nullptr;

void Stop(int)
{
    if (g_server != nullptr)
        g_server->stop();
}

std::string Strip(const std::string &s)
{
    const size_t b = s.find_first_not_of(" \t");
    return b == std::string::npos ? "" : s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

std::map<std::string, std::string> Cookies(const std::string &header)
{
    std::map<std::string, std::string> out;
    size_t pos = 0;
    while (pos < header.size()) {
        size_t end = header.find(';', pos);
        if (end == std::string::npos)
            end = header.size();
        const std::string part = Strip(header.substr(pos, end - pos));
        const size_t eq = part.find('=');
        if (eq != std::string::npos)
            out.emplace(part.substr(0, eq), part.substr(eq + 1));
        pos = end + 1;
    }
    return out;
}

}  // namespace

bool Loopback(const std::string &host)
{
    if (host == "localhost" || host == "::1" || host == "[::1]")
        return true;
    in_addr a;
    return inet_pton(AF_INET, host.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

int Serve(const Listen &at, const std::function<Response(const Request &)> &answer)
{
    const bool tls = !at.cert.empty() && !at.key.empty();
    std::unique_ptr<httplib::Server> server;
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
    if (tls)
        server = std::make_unique<httplib::SSLServer>(at.cert.c_str(), at.key.c_str());
#else
    if (tls) {
        std::cerr << "faxdesk: VortiqDeskCert and VortiqDeskKey are set, but this build has no TLS\n";
        return 1;
    }
#endif
    if (!Loopback(at.host) && !tls) {
        std::cerr << "faxdesk: refusing to listen on " << at.host
                  << " without TLS: set VortiqDeskCert and VortiqDeskKey in notes.ini, or listen on 127.0.0.1\n";
        return 1;
    }
    if (!server)
        server = std::make_unique<httplib::Server>();
    if (!server->is_valid()) {
        std::cerr << "faxdesk: cannot use the certificate " << at.cert << " with the key " << at.key << "\n";
        return 1;
    }
    auto handler = [&answer](const httplib::Request &hreq, httplib::Response &hres) {
        Request req;
        req.method = hreq.method;
        req.path = hreq.path;
        for (const auto &p : hreq.params)
            req.params.emplace(p.first, p.second);
        req.cookies = Cookies(hreq.get_header_value("Cookie"));
        req.accept = hreq.get_header_value("Accept");
        const Response res = answer(req);
        hres.status = res.status;
        for (const auto &h : res.headers)
            hres.set_header(h.first.c_str(), h.second);
        hres.set_header("X-Content-Type-Options", "nosniff");
        hres.set_header("X-Frame-Options", "DENY");
        hres.set_header("Content-Security-Policy",
                        "default-src 'self'; style-src 'unsafe-inline'; script-src 'none'; frame-ancestors 'none'");
        hres.set_content(res.body, res.contentType.c_str());
    };
    server->set_payload_max_length(64 * 1024);
    server->set_read_timeout(10, 0);
    server->set_write_timeout(10, 0);
    server->Get(".*", handler);
    server->Post(".*", handler);
    if (!server->bind_to_port(at.host.c_str(), at.port)) {
        std::cerr << "faxdesk: cannot listen on " << at.host << ":" << at.port << "\n";
        return 1;
    }
    g_server = server.get();
    std::signal(SIGTERM, Stop);
    std::signal(SIGINT, Stop);
    std::cout << "faxdesk: listening on " << (tls ? "https://" : "http://") << at.host << ":" << at.port << "/"
              << std::endl;
    server->listen_after_bind();
    g_server = nullptr;
    return 0;
}

}  // namespace faxdesk
