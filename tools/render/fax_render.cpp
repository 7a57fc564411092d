/*
 * fax_render.cpp - the page renderer (see fax_render.h): one private
 * folder per call, one outside program per step, the pieces merged with
 * tiffcp and the result published whole.
 */
#include "fax_render.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <strings.h>
#include <vector>

#include "sandbox.h"

namespace faxrender {

namespace {

const char *const kFont = "DejaVu Sans Mono 10";
const char *const kCoverFont = "DejaVu Sans Mono 11";

std::string Lower(std::string s)
{
    for (char &c : s)
        c = (char)std::tolower((unsigned char)c);
    return s;
}

bool ValidUtf8(const std::string &s)
{
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = (unsigned char)s[i];
        int n = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        if (n < 0 || i + n >= s.size() + (n == 0 ? 1 : 0))
            return false;
        for (int k = 1; k <= n; ++k)
            if (i + k >= s.size() || ((unsigned char)s[i + k] >> 6) != 2)
                return false;
        i += n + 1;
    }
    return true;
}

/* Text for the layout: UTF-8 (other bytes read as Latin-1), line ends as
 * LF, no control characters but tab, LF and form feed. */
std::string CleanText(const std::string &in)
{
    std::string utf8;
    if (ValidUtf8(in)) {
        utf8 = in;
    } else {
        for (unsigned char c : in) {
            if (c < 0x80) {
                utf8 += (char)c;
            } else {
                utf8 += (char)(0xC0 | (c >> 6));
                utf8 += (char)(0x80 | (c & 0x3F));
            }
        }
    }
    std::string out;
    for (size_t i = 0; i < utf8.size(); ++i) {
        unsigned char c = (unsigned char)utf8[i];
        if (c == '\r') {
            if (i + 1 < utf8.size() && utf8[i + 1] == '\n')
                continue;
            c = '\n';
        }
        if (c < 0x20 && c != '\n' && c != '\t' && c != '\f')
            continue;
        if (c == 0x7F)
            continue;
        out += (char)c;
    }
    return out;
}

bool Blank(const std::string &s)
{
    return s.find_first_not_of(" \t\r\n\f") == std::string::npos;
}

std::string Markup(const std::string &s)
{
    std::string out;
    for (char c : s) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else
            out += c;
    }
    return out;
}

/* Reads a regular file (no symlink, no device) of at most limit bytes. */
bool ReadRegular(const std::string &path, size_t limit, std::string &bytes, std::string *why)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *why = std::string("cannot be opened: ") + std::strerror(errno);
        return false;
    }
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!ok)
        *why = "is not a regular file";
    else if ((size_t)st.st_size > limit)
        *why = "is larger than " + std::to_string(limit) + " bytes", ok = false;
    if (ok) {
        bytes.resize((size_t)st.st_size);
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::read(fd, &bytes[done], bytes.size() - done);
            if (n <= 0)
                break;
            done += (size_t)n;
        }
        bytes.resize(done);
    }
    ::close(fd);
    return ok;
}

bool WriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
    return (bool)out;
}

/* Copies a finished file to final's folder under a work name, syncs it,
 * renames it to final and syncs the folder. */
bool Publish(const std::string &from, const std::string &final, std::string *why)
{
    namespace fs = std::filesystem;
    fs::path f(final);
    std::string dir = f.parent_path().empty() ? "." : f.parent_path().string();
    std::string work = dir + "/." + f.filename().string() + ".part-" + std::to_string(::getpid());
    std::error_code ec;
    fs::copy_file(from, work, fs::copy_options::overwrite_existing, ec);
    int fd = ec ? -1 : ::open(work.c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    ok = ok && std::rename(work.c_str(), final.c_str()) == 0;
    if (!ok) {
        fs::remove(work, ec);
        *why = "cannot write " + final;
        return false;
    }
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

/* One rendering: its private folder and the steps run in it. */
class Renderer {
public:
    Renderer(const Options &opt, char resolution)
        : dir_(opt.workDir), letter_(opt.letter), fine_(resolution == 'D' || resolution == 'd')
    {
        lim_.timeoutSeconds = opt.timeoutSeconds;
        lim_.maxOutputBytes = opt.maxOutputBytes;
    }
    bool ok() const { return dir_.ok(); }
    std::string NewFile(const char *ext) { return dir_.File("p" + std::to_string(++n_) + ext); }

    bool Run(const std::vector<std::string> &argv, const std::string &in, const std::string &out, std::string *why)
    {
        RunResult r = RunLimited(argv, dir_.path(), lim_, in, out);
        if (!r.ok)
            *why = r.message;
        return r.ok;
    }

    /* PDF or PostScript to fax pages. */
    bool Ghostscript(const std::string &in, const std::string &out, std::string *why)
    {
        std::vector<std::string> argv = {"gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-dNOPROMPT",
                                         "-dPDFSTOPONERROR", "-dUseFastColor=true", "-dNOTRANSPARENCY",
                                         "-sDEVICE=tiffg32d",
                                         std::string("-r204x") + (fine_ ? "196" : "98"),
                                         std::string("-sPAPERSIZE=") + (letter_ ? "letter" : "a4"),
                                         "-dFIXEDMEDIA", "-dPDFFitPage", "-sOutputFile=" + out, "-f", in};
        if (!Run(argv, "", "", why))
            return false;
        if (CountPages(out) < 1) {
            *why = "gs made no page";
            return false;
        }
        return true;
    }

    /* UTF-8 text (or Pango markup) to fax pages. */
    bool Text(const std::string &text, bool markup, const std::string &out, std::string *why)
    {
        std::string txt = NewFile(".txt"), ps = NewFile(".ps");
        if (!WriteFile(txt, Blank(text) ? std::string(" \n") : text)) {
            *why = "cannot write " + txt;
            return false;
        }
        std::vector<std::string> argv = {"paps", std::string("--font=") + (markup ? kCoverFont : kFont),
                                         std::string("--paper=") + (letter_ ? "letter" : "a4"),
                                         "--left-margin=54", "--right-margin=54", "--top-margin=54",
                                         "--bottom-margin=54"};
        if (markup)
            argv.push_back("--markup");
        argv.push_back(txt);
        return Run(argv, "", ps, why) && Ghostscript(ps, out, why);
    }

    /* A PNG, JPEG or netpbm page to one fax page: grey, fitted to the
     * page, dithered with a fixed seed, padded to 1728 pixels. */
    bool Image(const std::string &in, Kind kind, const std::string &out, std::string *why)
    {
        std::string pnm = NewFile(".pnm"), grey = NewFile(".pgm"), fit = NewFile(".pgm"), bw = NewFile(".pam"),
                    pad = NewFile(".pbm");
        bool ok = true;
        if (kind == Kind::Png)
            ok = Run({"pngtopam", "-mix", "-background=white", in}, "", pnm, why);
        else if (kind == Kind::Jpeg)
            ok = Run({"jpegtopnm", in}, "", pnm, why);
        else
            ok = Run({"tifftopnm", in}, "", pnm, why);
        int lines = letter_ ? 2156 : 2292; /* page height at 196 lines per inch */
        ok = ok && Run({"ppmtopgm", pnm}, "", grey, why) &&
             Run({"pamscale", "-xyfit", "1728", std::to_string(lines), grey}, "", fit, why);
        if (ok && !fine_) {
            std::string half = NewFile(".pgm");
            ok = Run({"pamscale", "-xscale", "1", "-yscale", "0.5", fit}, "", half, why);
            fit = half;
        }
        return ok && Run({"pamditherbw", "-floyd", "-randomseed=1", fit}, "", bw, why) &&
               Run({"pnmpad", "-white", "-width=1728", "-halign=0.5", bw}, "", pad, why) &&
               Run({"pamtotiff", "-g3", "-fill", "-xresolution", "204", "-yresolution", fine_ ? "196" : "98",
                    "-output", out, pad},
                   "", "", why);
    }

    /* A TIFF attachment: its pages, each through the image path unless it
     * is already a bilevel page 1728 pixels wide. */
    bool TiffFile(const std::string &in, std::vector<std::string> &parts, std::string *why)
    {
        std::string prefix = NewFile("-");
        if (!Run({"tiffsplit", in, prefix}, "", "", why))
            return false;
        std::vector<std::string> pages;
        for (const auto &e : std::filesystem::directory_iterator(dir_.path())) {
            std::string p = e.path().string();
            if (p.compare(0, prefix.size(), prefix) == 0)
                pages.push_back(p);
        }
        std::sort(pages.begin(), pages.end());
        if (pages.empty()) {
            *why = "no page in it";
            return false;
        }
        for (const std::string &p : pages) {
            if (FaxPageWidth(p) == 1728) {
                parts.push_back(p);
                continue;
            }
            std::string out = NewFile(".tif");
            if (!Image(p, Kind::Tiff, out, why))
                return false;
            parts.push_back(out);
        }
        return true;
    }

    bool Merge(const std::vector<std::string> &parts, const std::string &out, std::string *why)
    {
        if (parts.size() == 1) { /* already G3 2-D from Ghostscript or pamtotiff */
            std::error_code ec;
            std::filesystem::copy_file(parts[0], out, ec);
            if (ec)
                *why = "cannot copy " + parts[0] + ": " + ec.message();
            return !ec;
        }
        std::vector<std::string> argv = {"tiffcp", "-c", "g3:2d:fill"};
        argv.insert(argv.end(), parts.begin(), parts.end());
        argv.push_back(out);
        return Run(argv, "", "", why);
    }

private:
    /* the width of a bilevel page, -1 for any other */
    static int FaxPageWidth(const std::string &p);

    TempDir dir_;
    Limits lim_;
    bool letter_;
    bool fine_;
    unsigned n_ = 0;
};

}  // namespace
}  // namespace faxrender

#include <tiffio.h>

namespace faxrender {
namespace {

int Renderer::FaxPageWidth(const std::string &p)
{
    TIFFSetWarningHandler(nullptr);
    TIFFSetErrorHandler(nullptr);
    TIFF *t = TIFFOpen(p.c_str(), "r");
    if (t == nullptr)
        return -1;
    uint32_t width = 0;
    uint16_t bps = 0;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFClose(t);
    return bps == 1 ? (int)width : -1;
}

std::string AttachmentLabel(const spoolfiles::Job &job, size_t i)
{
    std::string name = i < job.attachmentNames.size() ? job.attachmentNames[i] : job.attachments[i];
    return "attachment \"" + name + "\" (FAX/OPARCEL/" + job.attachments[i] + ")";
}

struct CoverForm {
    const char *name;
    const char *title;
};
const CoverForm kForms[] = {{"Standard", "FAX"}, {"Memo", "FAX MEMO"}, {"Urgent", "URGENT FAX"}};

std::string CoverMarkup(const spoolfiles::Job &job, size_t address, int sharedPages)
{
    const std::string &addr = job.addresses[address];
    spoolfiles::AddressOptions o = spoolfiles::ParseAddressOptions(addr);
    const CoverForm *form = &kForms[0]; /* an unknown form falls back to the first */
    for (const CoverForm &f : kForms)
        if (strcasecmp(f.name, o.coverForm.c_str()) == 0)
            form = &f;
    std::string m = "<span size=\"xx-large\" weight=\"bold\">" + std::string(form->title) + "</span>\n\n\n";
    auto row = [&](const char *label, const std::string &value) {
        if (!Blank(value))
            m += "<b>" + std::string(label) + "</b>" + Markup(CleanText(value)) + "\n";
    };
    row("To:       ", spoolfiles::FaxNameOf(addr));
    row("Fax:      ", spoolfiles::FaxNumberOf(addr));
    row("All to:   ", job.totalTo);
    row("Copies:   ", job.copiesTo);
    m += "\n";
    row("From:     ", job.fromName.empty() ? job.sender : job.fromName);
    row("Company:  ", job.company);
    row("Address:  ", job.address1);
    row("          ", job.address2);
    row("Phone:    ", job.voice);
    row("Fax:      ", job.fax);
    m += "\n";
    row("Date:     ", job.date);
    row("Subject:  ", job.subject);
    row("Pages:    ", std::to_string(sharedPages + 1) + " (this page included)");
    if (!Blank(job.coverMessage))
        m += "\n\n" + Markup(CleanText(job.coverMessage)) + "\n";
    return m;
}

}  // namespace

Kind KindOf(const std::string &head, const std::string &name)
{
    auto starts = [&](const char *sig, size_t n) { return head.size() >= n && std::memcmp(head.data(), sig, n) == 0; };
    if (head.substr(0, 1024).find("%PDF-") != std::string::npos)
        return Kind::Pdf;
    if (starts("%!", 2) || starts("\x04%!", 3) || starts("\xC5\xD0\xD3\xC6", 4))
        return Kind::PostScript;
    if (starts("\x89PNG\r\n\x1a\n", 8))
        return Kind::Png;
    if (starts("\xFF\xD8\xFF", 3))
        return Kind::Jpeg;
    if (starts("II*\0", 4) || starts("MM\0*", 4))
        return Kind::Tiff;
    std::string sample = head.substr(0, 8192);
    size_t odd = 0;
    for (unsigned char c : sample)
        if (c < 0x20 && c != '\n' && c != '\r' && c != '\t' && c != '\f')
            ++odd;
    if (!sample.empty() && sample.find('\0') == std::string::npos && odd * 50 <= sample.size())
        return Kind::Text;
    std::string ext = Lower(std::filesystem::path(name).extension().string());
    if (ext == ".pdf")
        return Kind::Pdf;
    if (ext == ".ps" || ext == ".eps")
        return Kind::PostScript;
    if (ext == ".png")
        return Kind::Png;
    if (ext == ".jpg" || ext == ".jpeg")
        return Kind::Jpeg;
    if (ext == ".tif" || ext == ".tiff")
        return Kind::Tiff;
    return Kind::Unknown;
}

Result RenderShared(const std::string &spoolRoot, const spoolfiles::Job &job, const std::string &sharedTiff,
                    const Options &opt)
{
    Result res;
    Renderer r(opt, job.resolution);
    if (!r.ok()) {
        res.reason = "cannot make a private folder below " + (opt.workDir.empty() ? "$TMPDIR" : opt.workDir);
        return res;
    }
    /* every attachment is read and told apart before anything is
     * rendered: an unknown one fails the job at once */
    std::string parcel = spoolfiles::SpoolRoot(spoolRoot) + "/FAX/OPARCEL/", why;
    std::vector<std::pair<Kind, std::string>> inputs;
    for (size_t i = 0; i < job.attachments.size(); ++i) {
        std::string label = AttachmentLabel(job, i), bytes;
        const std::string &file = job.attachments[i];
        if (file.empty() || file.find('/') != std::string::npos || file[0] == '.') {
            res.reason = label + ": not a spool file name";
            return res;
        }
        if (!ReadRegular(parcel + file, opt.maxOutputBytes, bytes, &why)) {
            res.reason = label + " " + why;
            return res;
        }
        if (bytes.empty()) {
            res.reason = label + " is empty";
            return res;
        }
        std::string name = i < job.attachmentNames.size() ? job.attachmentNames[i] : file;
        Kind kind = KindOf(bytes.substr(0, 8192), name);
        if (kind == Kind::Unknown) {
            res.reason = label + ": unknown file type (not text, PDF, PostScript, PNG, JPEG or TIFF)";
            return res;
        }
        inputs.emplace_back(kind, std::move(bytes));
    }
    std::vector<std::string> parts;
    std::string body = CleanText(job.bodyText);
    if (!Blank(body) || job.attachments.empty()) {
        std::string out = r.NewFile(".tif");
        if (!r.Text(body, false, out, &why)) {
            res.reason = "cannot render the body text of job " + job.name + ": " + why;
            return res;
        }
        parts.push_back(out);
    }
    for (size_t i = 0; i < inputs.size(); ++i) {
        Kind kind = inputs[i].first;
        const std::string &bytes = inputs[i].second;
        std::string in = r.NewFile(".in"), out = r.NewFile(".tif");
        bool ok = true;
        switch (kind) {
        case Kind::Unknown:
            break;
        case Kind::Text:
            ok = r.Text(CleanText(bytes), false, out, &why);
            break;
        case Kind::Pdf:
        case Kind::PostScript:
            ok = WriteFile(in, bytes) && r.Ghostscript(in, out, &why);
            break;
        case Kind::Png:
        case Kind::Jpeg:
            ok = WriteFile(in, bytes) && r.Image(in, kind, out, &why);
            break;
        case Kind::Tiff:
            ok = WriteFile(in, bytes) && r.TiffFile(in, parts, &why);
            break;
        }
        if (!ok) {
            static const char *const kNames[] = {"", "text", "PDF", "PostScript", "PNG", "JPEG", "TIFF"};
            res.reason = AttachmentLabel(job, i) + ": cannot be rendered as " + kNames[(int)kind] +
                         (why.empty() ? "" : ": " + why);
            return res;
        }
        if (kind != Kind::Tiff)
            parts.push_back(out);
    }
    std::string merged = r.NewFile(".tif");
    if (!r.Merge(parts, merged, &why)) {
        res.reason = "cannot merge the pages of job " + job.name + ": " + why;
        return res;
    }
    std::error_code ec;
    if (std::filesystem::file_size(merged, ec) > opt.maxOutputBytes) {
        res.reason = "the pages of job " + job.name + " take more than " + std::to_string(opt.maxOutputBytes) + " bytes";
        return res;
    }
    res.pages = CountPages(merged);
    if (res.pages < 1) {
        res.reason = "the pages of job " + job.name + " cannot be read back";
        return res;
    }
    if (!Publish(merged, sharedTiff, &res.reason))
        return res;
    res.ok = true;
    return res;
}

Result AddCover(const spoolfiles::Job &job, size_t address, const std::string &sharedTiff,
                const std::string &outTiff, const Options &opt)
{
    Result res;
    if (address >= job.addresses.size()) {
        res.reason = "job " + job.name + " has no address " + std::to_string(address + 1);
        return res;
    }
    int shared = CountPages(sharedTiff);
    if (shared < 1) {
        res.reason = sharedTiff + " is not a readable TIFF file";
        return res;
    }
    if (!spoolfiles::ParseAddressOptions(job.addresses[address]).cover) {
        res.pages = shared;
        res.ok = Publish(sharedTiff, outTiff, &res.reason);
        return res;
    }
    Renderer r(opt, job.resolution);
    std::string cover = r.NewFile(".tif"), merged = r.NewFile(".tif"), why;
    if (!r.ok() || !r.Text(CoverMarkup(job, address, shared), true, cover, &why)) {
        res.reason = "cannot render the cover page of job " + job.name + ": " + why;
        return res;
    }
    if (!r.Merge({cover, sharedTiff}, merged, &why)) {
        res.reason = "cannot merge the pages of job " + job.name + ": " + why;
        return res;
    }
    res.pages = CountPages(merged);
    if (res.pages < 1) {
        res.reason = "the pages of job " + job.name + " cannot be read back";
        return res;
    }
    res.ok = Publish(merged, outTiff, &res.reason);
    return res;
}

Result RenderJob(const std::string &spoolRoot, const spoolfiles::Job &job, size_t address,
                 const std::string &outTiff, const Options &opt)
{
    Result res;
    if (address >= job.addresses.size() && !job.addresses.empty()) {
        res.reason = "job " + job.name + " has no address " + std::to_string(address + 1);
        return res;
    }
    TempDir tmp(opt.workDir);
    if (!tmp.ok()) {
        res.reason = "cannot make a private folder below " + (opt.workDir.empty() ? "$TMPDIR" : opt.workDir);
        return res;
    }
    std::string shared = tmp.File("shared.tif");
    res = RenderShared(spoolRoot, job, shared, opt);
    if (!res.ok || job.addresses.empty()) {
        if (res.ok)
            res.ok = Publish(shared, outTiff, &res.reason);
        return res;
    }
    return AddCover(job, address, shared, outTiff, opt);
}

}  // namespace faxrender
