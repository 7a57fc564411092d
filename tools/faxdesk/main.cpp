/*
 * main.cpp - faxdesk, the administrator's web console: finds the data
 * directory (-d DIR, else NOTES_DATA, else the current directory), starts
 * the runtime on its notes.ini and serves the desk (desk.h) over HTTP.
 *
 *   faxdesk [-d DIR] [--listen ADDR:PORT]
 *
 * notes.ini: VortiqDeskListen (default 127.0.0.1:8025), VortiqDeskCert and
 * VortiqDeskKey (PEM files: served over TLS, and only then may the address
 * be other than loopback), VortiqDeskGroup (a group whose members may act
 * beside the fax administrator).
 */
#include <CLI/CLI.hpp>

#include <filesystem>
#include <iostream>
#include <mutex>

#include "desk.h"

namespace fs = std::filesystem;

namespace {

const VQ_RESOURCE_STRING kMessages[] = {{FAXDESK_LOG_MESSAGE, "FAXDESK: %s"}};

std::string Env(const char *key)
{
    char buf[MAXENVVALUE + 1] = "";
    if (!OSGetEnvironmentString(key, buf, MAXENVVALUE))
        return "";
    return faxdesk::Trim(buf);
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"faxdesk - the fax gateway's web console for the administrator"};
    std::string dataDir, listen;
    app.add_option("-d,--data", dataDir, "the Notes data directory (default $NOTES_DATA, else .)");
    app.add_option("--listen", listen, "ADDR:PORT to listen on (default notes.ini VortiqDeskListen, "
                                       "else 127.0.0.1:8025)");
    CLI11_PARSE(app, argc, argv);
    if (dataDir.empty()) {
        const char *env = std::getenv("NOTES_DATA");
        dataDir = (env && *env) ? env : ".";
    }
    std::error_code ec;
    std::string abs = fs::absolute(dataDir, ec).lexically_normal().string();
    while (abs.size() > 1 && abs.back() == '/')
        abs.pop_back();
    if (!fs::exists(abs + "/notes.ini", ec)) {
        std::cerr << "faxdesk: no notes.ini in " << abs << "\n";
        return 1;
    }
    OSRegisterModuleStrings(kMessages, 1);
    std::string ini = "=" + abs + "/notes.ini", prog = "faxdesk";
    char *args[] = {&prog[0], &ini[0], nullptr};
    if (NotesInitExtended(2, args) != NOERROR) {
        std::cerr << "faxdesk: cannot start on " << abs << "\n";
        return 1;
    }
    if (listen.empty())
        listen = Env("VortiqDeskListen");
    if (listen.empty())
        listen = "127.0.0.1:8025";
    const size_t colon = listen.rfind(':');
    const std::string host = colon == std::string::npos ? "" : listen.substr(0, colon);
    const int port = colon == std::string::npos ? 0 : std::atoi(listen.c_str() + colon + 1);
    if (host.empty() || port <= 0 || port > 65535) {
        std::cerr << "faxdesk: expected --listen ADDR:PORT, got " << listen << "\n";
        NotesTerm();
        return 1;
    }
    faxdesk::Listen at;
    at.host = host;
    at.port = port;
    at.cert = Env("VortiqDeskCert");
    at.key = Env("VortiqDeskKey");
    faxdesk::Config config;
    config.dataDir = abs;
    config.secure = !at.cert.empty() && !at.key.empty();
    faxdesk::Desk desk(config);
    std::mutex lock;
    const int rc = faxdesk::Serve(at, [&](const faxdesk::Request &req) {
        std::lock_guard<std::mutex> g(lock);
        return desk.Handle(req);
    });
    NotesTerm();
    return rc;
}
