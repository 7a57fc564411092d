/*
 * web.h - a request and its answer as the desk sees them, and the HTTP
 * server that carries them (web.cpp, on cpp-httplib). Kept apart from the
 * Notes headers: the HTTP library's system headers define names (STATUS,
 * NOERROR) that the Notes API defines too.
 */
#ifndef FAXDESK_WEB_H
#define FAXDESK_WEB_H

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace faxdesk {

/* ---- requests and answers ---- */
struct Request {
    std::string method = "GET";
    std::string path;                                  /* decoded */
    std::multimap<std::string, std::string> params;    /* query and form fields */
    std::map<std::string, std::string> cookies;
    std::string accept;
    std::string Param(const std::string &name) const;
};
struct Response {
    int status = 200;
    std::string contentType = "text/html; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

struct Listen {
    std::string host;
    int port = 0;
    std::string cert, key; /* both set: TLS */
};
/* True for 127.0.0.0/8, ::1 and localhost. */
bool Loopback(const std::string &host);
/* Serves until SIGTERM or SIGINT, one request at a time through answer.
 * 0, or 1 after saying on standard error why it cannot serve. */
int Serve(const Listen &at, const std::function<Response(const Request &)> &answer);

}  // namespace faxdesk

#endif /* FAXDESK_WEB_H */
