/*
 * fax_render.h - the fax page renderer: turns a job as the gateway wrote
 * it (job file in FAX/OUT, attachments in FAX/OPARCEL) into the pages a
 * fax machine prints, as one multi-page TIFF Class F (1728 pixels wide,
 * CCITT G3 2-D, 204x196 dpi fine or 204x98 standard).
 *
 *   body text, text attachments  paps (UTF-8, DejaVu Sans Mono 10) then Ghostscript
 *   PDF, PostScript              Ghostscript, always -dSAFER
 *   PNG, JPEG, TIFF              netpbm (scale, Floyd-Steinberg with a fixed seed,
 *                                pad) then pamtotiff; libtiff's tiffsplit/tiffcp
 *   cover page (per address)     paps with markup then Ghostscript
 *
 * The type of an attachment is told by its first bytes, its name only
 * second. Every outside program runs in a private temporary folder under
 * limits (sandbox.h). The same job gives the same pixels: fixed fonts, no
 * dates or paths on the pages, a fixed dither seed.
 *
 * Rendering a job for several addresses: RenderShared renders the pages
 * all addresses share once; AddCover puts one address's cover page in
 * front of them. RenderJob does both for one address.
 */
#ifndef VQ_FAX_RENDER_H
#define VQ_FAX_RENDER_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "sandbox.h" /* TempDir, RunLimited */
#include "spool_files.h"

namespace faxrender {

struct Options {
    bool letter = false; /* A4 when false */
    int timeoutSeconds = 60;          /* per outside program */
    size_t maxOutputBytes = 64u << 20; /* per file written, and the finished TIFF */
    std::string workDir;              /* private temp parent, default $TMPDIR */
};

struct Result {
    bool ok = false;
    std::string reason; /* one clear reason naming the file */
    int pages = 0;
};

/* Renders the job for address index `address` (its cover page, when the
 * address asks for one, in front of the shared pages) into outTiff: a
 * multi-page TIFF Class F, complete and fsynced before it is renamed to
 * outTiff. On failure nothing is left at outTiff. */
Result RenderJob(const std::string &spoolRoot, const spoolfiles::Job &job, size_t address,
                 const std::string &outTiff, const Options &opt);

/* The pages every address shares: the body (left out when it is blank and
 * there are attachments), then each attachment in order. */
Result RenderShared(const std::string &spoolRoot, const spoolfiles::Job &job, const std::string &sharedTiff,
                    const Options &opt);

/* Puts the cover page of address index `address` (when it asks for one)
 * in front of sharedTiff (made by RenderShared for this job) into outTiff.
 * pages counts the cover. */
Result AddCover(const spoolfiles::Job &job, size_t address, const std::string &sharedTiff,
                const std::string &outTiff, const Options &opt);

/* Page-by-page pixel compare of two TIFF files; true when same page count
 * and identical pixels; `why` says where they differ. */
bool SamePages(const std::string &a, const std::string &b, std::string *why);

/* Writes one PNG per page (DIR/page-1.png ...), standard resolution pages
 * stretched to square pixels; returns the page count or -1. */
int TiffToPngs(const std::string &tiff, const std::string &dir, std::string *why);

/* A hash (FNV-1a 64) of every page's size and pixels, black as 1 whatever
 * the file's photometric; pages gets the page count. 0 when unreadable. */
uint64_t PixelHash(const std::string &tiff, int *pages, std::string *why);

/* The number of pages of a TIFF file, -1 when it cannot be read. */
int CountPages(const std::string &tiff);

/* The kind of an attachment: by its first bytes, then by its name. */
enum class Kind { Unknown, Text, Pdf, PostScript, Png, Jpeg, Tiff };
Kind KindOf(const std::string &firstBytes, const std::string &name);

}  // namespace faxrender

#endif /* VQ_FAX_RENDER_H */
