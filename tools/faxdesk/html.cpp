/*
 * html.cpp - escaping, URL encoding, tokens: the small helpers every page
 * uses. Names and subjects come from outside: everything shown passes
 * through Html().
 */
#include <sys/random.h>

#include <cctype>
#include <cstdio>

#include "desk.h"

namespace faxdesk {

std::string Html(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default:
            if ((unsigned char)c < 0x20 && c != '\t' && c != '\n')
                out += ' ';
            else
                out += c;
        }
    }
    return out;
}

std::string UrlEncode(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += (char)c;
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

std::string RandomToken()
{
    unsigned char raw[16];
    size_t got = 0;
    while (got < sizeof raw) {
        ssize_t n = getrandom(raw + got, sizeof raw - got, 0);
        if (n > 0)
            got += (size_t)n;
    }
    std::string out;
    char buf[3];
    for (unsigned char c : raw) {
        std::snprintf(buf, sizeof buf, "%02x", c);
        out += buf;
    }
    return out;
}

std::string Lower(std::string s)
{
    for (char &c : s)
        c = (char)std::tolower((unsigned char)c);
    return s;
}

std::string Trim(const std::string &s)
{
    const size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return "";
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

std::string Request::Param(const std::string &name) const
{
    auto it = params.find(name);
    return it == params.end() ? "" : it->second;
}

}  // namespace faxdesk
