/*
 * render.cpp - pages of a fax image (TIFF, any compression libtiff reads:
 * the fax server's G3/G4) as grey PNG pictures, in memory. One function
 * per job, so another renderer can take its place.
 */
#include <png.h>
#include <tiffio.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "desk.h"

namespace faxdesk {
namespace {

struct TiffCloser {
    void operator()(TIFF *t) const { TIFFClose(t); }
};
using TiffFile = std::unique_ptr<TIFF, TiffCloser>;

TiffFile Open(const std::string &path)
{
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    return TiffFile(TIFFOpen(path.c_str(), "r"));
}

void PngWrite(png_structp png, png_bytep data, png_size_t length)
{
    static_cast<std::string *>(png_get_io_ptr(png))->append(reinterpret_cast<const char *>(data), length);
}

std::string EncodePng(const std::vector<uint8_t> &grey, uint32_t w, uint32_t h)
{
    std::string out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr)
        return "";
    png_infop info = png_create_info_struct(png);
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return "";
    }
    png_set_write_fn(png, &out, PngWrite, nullptr);
    png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (uint32_t y = 0; y < h; ++y)
        png_write_row(png, const_cast<png_bytep>(&grey[(size_t)y * w]));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

}  // namespace

int TiffPageCount(const std::string &path)
{
    TiffFile t = Open(path);
    if (!t)
        return 0;
    int n = 0;
    do {
        ++n;
    } while (n < 1000 && TIFFReadDirectory(t.get()));
    return n;
}

std::string TiffPageToPng(const std::string &path, int page, int width)
{
    TiffFile t = Open(path);
    if (!t || page < 0 || !TIFFSetDirectory(t.get(), (tdir_t)page))
        return "";
    uint32_t w = 0, h = 0;
    TIFFGetField(t.get(), TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t.get(), TIFFTAG_IMAGELENGTH, &h);
    if (w == 0 || h == 0 || w > 10000 || h > 20000)
        return "";
    std::vector<uint32_t> rgba((size_t)w * h);
    if (!TIFFReadRGBAImageOriented(t.get(), w, h, rgba.data(), ORIENTATION_TOPLEFT, 0))
        return "";
    /* normal-resolution fax lines stand for two */
    float xres = 0, yres = 0;
    int stretch = 1;
    if (TIFFGetField(t.get(), TIFFTAG_XRESOLUTION, &xres) && TIFFGetField(t.get(), TIFFTAG_YRESOLUTION, &yres) &&
        yres > 0 && xres / yres > 1.5f)
        stretch = 2;
    const uint32_t fullH = h * (uint32_t)stretch;
    uint32_t outW = w, outH = fullH;
    if (width > 0 && (uint32_t)width < w) {
        outW = (uint32_t)width;
        outH = std::max<uint32_t>(1, (uint32_t)((uint64_t)fullH * outW / w));
    }
    std::vector<uint8_t> grey((size_t)outW * outH);
    for (uint32_t y = 0; y < outH; ++y) {
        /* a box of source pixels per target pixel, averaged */
        const uint32_t y0 = (uint32_t)((uint64_t)y * fullH / outH) / (uint32_t)stretch;
        const uint32_t y1 = std::max(y0 + 1, (uint32_t)((uint64_t)(y + 1) * fullH / outH) / (uint32_t)stretch);
        for (uint32_t x = 0; x < outW; ++x) {
            const uint32_t x0 = (uint32_t)((uint64_t)x * w / outW);
            const uint32_t x1 = std::max(x0 + 1, (uint32_t)((uint64_t)(x + 1) * w / outW));
            uint64_t sum = 0, n = 0;
            for (uint32_t sy = y0; sy < y1 && sy < h; ++sy)
                for (uint32_t sx = x0; sx < x1 && sx < w; ++sx, ++n) {
                    const uint32_t p = rgba[(size_t)sy * w + sx];
                    sum += (TIFFGetR(p) * 30u + TIFFGetG(p) * 59u + TIFFGetB(p) * 11u) / 100u;
                }
            grey[(size_t)y * outW + x] = (uint8_t)(n ? sum / n : 255);
        }
    }
    return EncodePng(grey, outW, outH);
}

}  // namespace faxdesk
