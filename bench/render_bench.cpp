/*
 * render_bench.cpp - speed of real fax pages: rendering a job's shared
 * pages (three text pages, one PDF page, one PNG page), a cover page put
 * in front, the PNG pictures of a page, and the T.30 transfer of a
 * three-page job over the in-memory line in each mode (wall time per page,
 * and the call time the line simulated per page).
 *
 * Every run checks its outcome (the page count, every page arrived) and
 * reports an error instead of a figure when the work was not done.
 */
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "fax_render.h"
#include "t30_line.h"

namespace {

std::string Fixture(const std::string &name)
{
    std::ifstream in(std::string(VQ_PAGES_DIR) + "/" + name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

/* A job of one address with a body and at most one attachment. */
spoolfiles::Job MakeJob(const std::string &root, const std::string &body, const std::string &name,
                        const std::string &bytes, const char *options)
{
    std::string spool = spoolfiles::SpoolRoot(root);
    std::filesystem::create_directories(spool + "/FAX/OPARCEL");
    std::string header = "\x03";
    if (!name.empty()) {
        std::ofstream(spool + "/FAX/OPARCEL/00000001", std::ios::binary) << bytes;
        header += "\nAttachment: 00000001\nAttachment-name: " + name;
    }
    header += std::string("\nSend-to: - @ FAX {Jane Roe,555D0100 , ") + options +
              "}\nSender: John Smith @ /O=Acme\nFrom-name: John Smith\nSubject: Bench\n\n";
    spoolfiles::Job job;
    spoolfiles::ParseJob(header + body, job);
    job.name = "00000001";
    return job;
}

/* Three A4 pages of mail text: 61 lines of 72 characters fill a page. */
std::string ThreePagesOfText()
{
    std::string text;
    for (int line = 1; line <= 3 * 61; ++line)
        text += "Line " + std::to_string(line) + ": Grüße aus Köln, the quarterly figures follow here.......\n";
    return text;
}

void PerPage(benchmark::State &state, int pages)
{
    state.counters["pages"] = pages;
    state.counters["per_page"] =
        benchmark::Counter(pages, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void RenderShared(benchmark::State &state, const std::string &body, const std::string &name,
                  const std::string &bytes, int wantPages)
{
    faxrender::TempDir dir("");
    spoolfiles::Job job = MakeJob(dir.path(), body, name, bytes, "D, cover:");
    for (auto _ : state) {
        faxrender::Result r = faxrender::RenderShared(dir.path(), job, dir.File("out.tif"), {});
        if (!r.ok || r.pages != wantPages) {
            state.SkipWithError(("render: " + r.reason + " pages " + std::to_string(r.pages)).c_str());
            return;
        }
    }
    PerPage(state, wantPages);
}

void BM_RenderTextJob3Pages(benchmark::State &state)
{
    RenderShared(state, ThreePagesOfText(), "", "", 3);
}
void BM_RenderPdfPage(benchmark::State &state)
{
    RenderShared(state, "", "chart.pdf", Fixture("chart.pdf"), 1);
}
void BM_RenderPngPage(benchmark::State &state)
{
    RenderShared(state, "", "logo.png", Fixture("logo.png"), 1);
}

void BM_AddCoverPage(benchmark::State &state)
{
    faxrender::TempDir dir("");
    spoolfiles::Job job = MakeJob(dir.path(), "A short note.\n", "", "", "D, cover:Standard");
    faxrender::Result shared = faxrender::RenderShared(dir.path(), job, dir.File("shared.tif"), {});
    for (auto _ : state) {
        faxrender::Result r = faxrender::AddCover(job, 0, dir.File("shared.tif"), dir.File("out.tif"), {});
        if (!shared.ok || !r.ok || r.pages != 2) {
            state.SkipWithError(("cover: " + shared.reason + r.reason).c_str());
            return;
        }
    }
    PerPage(state, 1);
}

void BM_PngPicturesOfPages(benchmark::State &state)
{
    faxrender::TempDir dir("");
    spoolfiles::Job job = MakeJob(dir.path(), ThreePagesOfText(), "", "", "D, cover:");
    faxrender::Result shared = faxrender::RenderShared(dir.path(), job, dir.File("job.tif"), {});
    for (auto _ : state) {
        std::string why;
        if (!shared.ok || faxrender::TiffToPngs(dir.File("job.tif"), dir.File("png"), &why) != 3) {
            state.SkipWithError(("pictures: " + shared.reason + why).c_str());
            return;
        }
    }
    PerPage(state, 3);
}

void BM_T30Transfer(benchmark::State &state)
{
    const auto mode = (t30line::Mode)state.range(0);
    faxrender::TempDir dir("");
    spoolfiles::Job job = MakeJob(dir.path(), ThreePagesOfText(), "", "", "D, cover:");
    faxrender::Result shared = faxrender::RenderShared(dir.path(), job, dir.File("tx.tif"), {});
    t30line::LineStats stats;
    for (auto _ : state) {
        std::string why;
        if (!shared.ok || !t30line::SendOverLine(dir.File("tx.tif"), dir.File("rx.tif"), mode, &why, &stats) ||
            stats.pagesReceived != 3) {
            state.SkipWithError(("line: " + shared.reason + why).c_str());
            return;
        }
    }
    state.SetLabel(t30line::ModeName(mode));
    PerPage(state, 3);
    state.counters["call_s_per_page"] = stats.callSeconds / 3;
    state.counters["bit_rate"] = stats.bitRate;
}

}  // namespace

BENCHMARK(BM_RenderTextJob3Pages)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_RenderPdfPage)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_RenderPngPage)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_AddCoverPage)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_PngPicturesOfPages)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_T30Transfer)
    ->Arg((int)t30line::Mode::AudioEcm)
    ->Arg((int)t30line::Mode::AudioNoEcm)
    ->Arg((int)t30line::Mode::T38)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0)
    ->UseRealTime();
BENCHMARK_MAIN();
