/*
 * vq_operator_json.cpp - documents, log lines and task lines as the
 * operator's tools show them (see vq_operator_json.h).
 */
#include "vq_operator_json.h"

#include <strings.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using nlohmann::json;

namespace vqop {

std::string IsoTime(const TIMEDATE &t)
{
    time_t secs = (time_t)VqTimeDateToUnix(&t);
    struct tm tmv;
    gmtime_r(&secs, &tmv);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tmv);
    return buf;
}

json DocumentJson(const Document &doc)
{
    json items = json::object();
    for (const Item &it : doc.items) {
        switch (it.type) {
        case TYPE_TEXT: items[it.name] = it.text; break;
        case TYPE_TEXT_LIST: items[it.name] = it.list; break;
        case TYPE_TIME:
            if (it.complete)
                items[it.name] = IsoTime(it.time);
            break;
        case TYPE_NUMBER:
            if (it.complete)
                items[it.name] = it.number;
            break;
        default: items[it.name] = nullptr;
        }
    }
    json attachments = json::array();
    for (const auto &a : doc.attachments)
        attachments.push_back({{"name", a.name}, {"size", a.size}});
    return json{{"noteid", doc.id}, {"modified", IsoTime(doc.modified)}, {"items", items},
                {"attachments", attachments}};
}

std::string ValueText(const json &v)
{
    if (v.is_string())
        return v.get<std::string>();
    if (v.is_array()) {
        std::string out;
        for (size_t i = 0; i < v.size(); ++i)
            out += (i ? ", " : "") + ValueText(v[i]);
        return out;
    }
    if (v.is_null())
        return "(binary)";
    return v.dump();
}

json ListDocumentsJson(const std::string &path, const std::string &form)
{
    json out = json::array();
    for (NOTEID id : DocumentIds(path)) {
        Document d;
        if (!ReadDocument(path, id, &d))
            continue; /* deleted meanwhile */
        json doc = DocumentJson(d);
        if (!form.empty()) {
            std::string f;
            for (const auto &it : doc["items"].items())
                if (strcasecmp(it.key().c_str(), "Form") == 0)
                    f = ValueText(it.value());
            if (strcasecmp(f.c_str(), form.c_str()) != 0)
                continue;
        }
        out.push_back(doc);
    }
    return out;
}

json HeldDocumentsJson(const std::string &mailFile)
{
    json held = json::array();
    for (const auto &d : ListDocumentsJson(mailFile, ""))
        if (d["items"].contains(kHeldItem))
            held.push_back(d);
    return held;
}

std::vector<std::string> TailLines(const std::string &path, size_t lines)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    constexpr std::streamoff kBlock = 64 * 1024;
    in.seekg(0, std::ios::end);
    std::streamoff pos = in.tellg();
    std::string tail;
    size_t ends = 0;
    while (pos > 0 && ends <= lines) {
        const std::streamoff n = pos < kBlock ? pos : kBlock;
        pos -= n;
        std::string block((size_t)n, '\0');
        in.seekg(pos);
        in.read(&block[0], n);
        ends += (size_t)std::count(block.begin(), block.end(), '\n');
        tail.insert(0, block);
    }
    std::vector<std::string> all;
    std::istringstream text(tail);
    for (std::string line; std::getline(text, line);)
        all.push_back(line);
    if (pos > 0 && !all.empty())
        all.erase(all.begin()); /* a line cut at the block's start */
    if (all.size() > lines)
        all.erase(all.begin(), all.end() - (std::ptrdiff_t)lines);
    return all;
}

json TaskLines(const std::string &dataDir, std::vector<std::string> *stale)
{
    fs::path dir = fs::path(dataDir) / "tasks";
    std::error_code ec;
    std::vector<fs::path> files;
    for (const auto &e : fs::directory_iterator(dir, ec))
        if (e.path().extension() == ".status")
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    json live = json::array();
    for (const auto &f : files) {
        const std::string task = f.stem().string();
        DWORD pid = 0;
        if (!VqTaskRunning(task.c_str(), &pid)) {
            if (stale != nullptr)
                stale->push_back(task);
            continue;
        }
        std::string line = ReadFile(f.string());
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        live.push_back({{"task", task}, {"status", line}, {"pid", pid}});
    }
    return live;
}

std::string JsonText(const json &j, int indent)
{
    return j.dump(indent, ' ', false, json::error_handler_t::replace);
}

}  // namespace vqop
