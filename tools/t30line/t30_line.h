/*
 * t30_line.h - a fax line in memory: two SpanDSP T.30 endpoints wired back
 * to back, one sending a TIFF, the other receiving it into a TIFF; over
 * G.711 A-law audio (with or without error correction) or over T.38.
 * For the tests, the benchmarks and the fax server bridge.
 */
#ifndef VQ_T30_LINE_H
#define VQ_T30_LINE_H

#include <string>

namespace t30line {

enum class Mode { AudioEcm, AudioNoEcm, T38 };

const char *ModeName(Mode mode);

struct LineStats {
    int pagesSent = 0;
    int pagesReceived = 0;
    double callSeconds = 0; /* simulated time on the line */
    int bitRate = 0;        /* of the last page */
    bool ecm = false;       /* error correction was used */
    int completionCode = -1; /* T.30 phase E code, 0 is success */
};

/* Sends txTiff (TIFF Class F, 1728 pixels wide) over the line and writes
 * what arrives to rxTiff. True when the call ended well and every page
 * arrived; why says what went wrong otherwise. */
bool SendOverLine(const std::string &txTiff, const std::string &rxTiff, Mode mode, std::string *why);
bool SendOverLine(const std::string &txTiff, const std::string &rxTiff, Mode mode, std::string *why,
                  LineStats *stats);

}  // namespace t30line

#endif /* VQ_T30_LINE_H */
