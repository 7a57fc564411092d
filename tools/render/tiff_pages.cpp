/*
 * tiff_pages.cpp - reading the pixels of bilevel TIFF pages with libtiff:
 * page counts, the pixel compare, the pixel hash and PNG previews (PBM
 * handed to netpbm's pnmtopng).
 */
#include <fcntl.h>
#include <tiffio.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "fax_render.h"
#include "sandbox.h"

namespace faxrender {

namespace {

struct Page {
    uint32_t width = 0, height = 0;
    float xres = 0, yres = 0;
    size_t rowBytes = 0;
    std::vector<uint8_t> bits; /* rows of packed bits, 1 = black, spare bits 0 */
};

struct TiffCloser {
    void operator()(TIFF *t) const { TIFFClose(t); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

TiffPtr OpenTiff(const std::string &path)
{
    static bool quiet = [] {
        TIFFSetWarningHandler(nullptr);
        TIFFSetErrorHandler(nullptr);
        return true;
    }();
    (void)quiet;
    return TiffPtr(TIFFOpen(path.c_str(), "r"));
}

bool ReadPage(TIFF *t, Page &p, std::string *why)
{
    uint16_t bps = 1, spp = 1, photometric = PHOTOMETRIC_MINISWHITE;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &p.width);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &p.height);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetField(t, TIFFTAG_XRESOLUTION, &p.xres);
    TIFFGetField(t, TIFFTAG_YRESOLUTION, &p.yres);
    if (bps != 1 || spp != 1 || TIFFIsTiled(t)) {
        *why = "not a bilevel page";
        return false;
    }
    p.rowBytes = (p.width + 7) / 8;
    if (p.width == 0 || p.height == 0 || p.height > 100000 || (tmsize_t)p.rowBytes > TIFFScanlineSize(t) ||
        p.rowBytes > 1024) {
        *why = "bad page size";
        return false;
    }
    std::vector<uint8_t> row(TIFFScanlineSize(t));
    p.bits.assign(p.rowBytes * p.height, 0);
    uint8_t mask = p.width % 8 == 0 ? 0xFF : (uint8_t)(0xFF << (8 - p.width % 8));
    for (uint32_t y = 0; y < p.height; ++y) {
        if (TIFFReadScanline(t, row.data(), y, 0) < 0) {
            *why = "cannot decode row " + std::to_string(y + 1);
            return false;
        }
        uint8_t *dst = &p.bits[y * p.rowBytes];
        for (size_t i = 0; i < p.rowBytes; ++i)
            dst[i] = photometric == PHOTOMETRIC_MINISBLACK ? (uint8_t)~row[i] : row[i];
        dst[p.rowBytes - 1] &= mask;
    }
    return true;
}

/* Reads every page; false with why on the first one that cannot be read. */
bool ReadPages(const std::string &path, std::vector<Page> &pages, std::string *why)
{
    TiffPtr t = OpenTiff(path);
    if (!t) {
        *why = path + " is not a readable TIFF file";
        return false;
    }
    do {
        pages.emplace_back();
        std::string w;
        if (!ReadPage(t.get(), pages.back(), &w)) {
            *why = path + " page " + std::to_string(pages.size()) + ": " + w;
            return false;
        }
    } while (TIFFReadDirectory(t.get()));
    return true;
}

bool SyncAndRename(const std::string &work, const std::string &final, std::string *why)
{
    int fd = ::open(work.c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    ok = ok && std::rename(work.c_str(), final.c_str()) == 0;
    if (!ok) {
        std::remove(work.c_str());
        *why = "cannot write " + final;
        return false;
    }
    std::string dir = std::filesystem::path(final).parent_path().string();
    int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

}  // namespace

int CountPages(const std::string &tiff)
{
    TiffPtr t = OpenTiff(tiff);
    return t ? (int)TIFFNumberOfDirectories(t.get()) : -1;
}

bool SamePages(const std::string &a, const std::string &b, std::string *why)
{
    std::string w;
    std::vector<Page> pa, pb;
    if (!ReadPages(a, pa, &w) || !ReadPages(b, pb, &w)) {
        if (why)
            *why = w;
        return false;
    }
    auto say = [&](const std::string &s) {
        if (why)
            *why = s;
        return false;
    };
    if (pa.size() != pb.size())
        return say(std::to_string(pa.size()) + " pages against " + std::to_string(pb.size()));
    for (size_t i = 0; i < pa.size(); ++i) {
        const Page &x = pa[i], &y = pb[i];
        std::string page = "page " + std::to_string(i + 1) + ": ";
        if (x.width != y.width || x.height != y.height)
            return say(page + std::to_string(x.width) + "x" + std::to_string(x.height) + " against " +
                       std::to_string(y.width) + "x" + std::to_string(y.height));
        for (uint32_t r = 0; r < x.height; ++r) {
            if (std::memcmp(&x.bits[r * x.rowBytes], &y.bits[r * y.rowBytes], x.rowBytes) != 0)
                return say(page + "row " + std::to_string(r + 1) + " differs");
        }
    }
    if (why)
        why->clear();
    return true;
}

uint64_t PixelHash(const std::string &tiff, int *pages, std::string *why)
{
    std::vector<Page> ps;
    std::string w;
    if (!ReadPages(tiff, ps, &w)) {
        if (why)
            *why = w;
        return 0;
    }
    uint64_t h = 1469598103934665603ull;
    auto mix = [&](uint8_t b) {
        h ^= b;
        h *= 1099511628211ull;
    };
    for (const Page &p : ps) {
        for (uint32_t v : {p.width, p.height})
            for (int s = 0; s < 32; s += 8)
                mix((uint8_t)(v >> s));
        for (uint8_t b : p.bits)
            mix(b);
    }
    if (pages)
        *pages = (int)ps.size();
    return h;
}

int TiffToPngs(const std::string &tiff, const std::string &dir, std::string *why)
{
    std::string w;
    std::vector<Page> ps;
    if (!ReadPages(tiff, ps, &w)) {
        if (why)
            *why = w;
        return -1;
    }
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    TempDir tmp("");
    if (!tmp.ok()) {
        if (why)
            *why = "cannot make a temporary folder";
        return -1;
    }
    Limits lim;
    for (size_t i = 0; i < ps.size(); ++i) {
        const Page &p = ps[i];
        std::string pbm = tmp.File("page.pbm");
        {
            std::ofstream out(pbm, std::ios::binary | std::ios::trunc);
            out << "P4\n" << p.width << " " << p.height << "\n";
            out.write((const char *)p.bits.data(), (std::streamsize)p.bits.size());
            if (!out) {
                if (why)
                    *why = "cannot write " + pbm;
                return -1;
            }
        }
        std::string src = pbm;
        if (p.xres > 0 && p.yres > 0 && p.yres < p.xres * 0.75f) {
            /* standard resolution: each line stands for two */
            std::string scaled = tmp.File("page.pgm");
            RunResult r = RunLimited({"pamscale", "-xscale", "1", "-yscale", "2", pbm}, tmp.path(), lim, "", scaled);
            if (!r.ok) {
                if (why)
                    *why = r.message;
                return -1;
            }
            src = scaled;
        }
        std::string final = dir + "/page-" + std::to_string(i + 1) + ".png";
        std::string work = dir + "/.page-" + std::to_string(i + 1) + ".png." + std::to_string(::getpid());
        RunResult r = RunLimited({"pnmtopng", src}, tmp.path(), lim, "", work);
        if (!r.ok) {
            std::remove(work.c_str());
            if (why)
                *why = r.message;
            return -1;
        }
        if (!SyncAndRename(work, final, why))
            return -1;
    }
    return (int)ps.size();
}

}  // namespace faxrender
