/*
 * scenario_bench.cpp - the load of the whole-process scenario that
 * scripts/bench.sh runs against a live gateway: routes fax mails into the
 * gateway mail file of a data directory, as users of the server would.
 * Not a Google Benchmark program; the script measures the gateway itself
 * (its CPU time and resident memory from /proc).
 *
 *   vq_bench_scenario DATA_DIR COUNT [FIRST]
 *
 * Sends COUNT memos from "Jane Roe" (numbered from FIRST, default 0),
 * each to one fax recipient in the domain FAXGATE, with a 4 KB body and
 * a 4 KB attachment. Exit code 0 when every memo was routed.
 */
#include <stdlib.h>

#include <cstdio>
#include <string>

#include "notesapi.h"
#include "vq_operator.h"
#include "vq_testhooks.h"

namespace {

std::string Text(size_t n)
{
    std::string s;
    while (s.size() < n)
        s += "The quick brown fox jumps over the lazy dog, line " + std::to_string(s.size()) + ".\n";
    s.resize(n);
    return s;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s DATA_DIR COUNT [FIRST]\n", argv[0]);
        return 2;
    }
    const std::string data = argv[1];
    const long count = std::atol(argv[2]);
    const long first = argc > 3 ? std::atol(argv[3]) : 0;
    vqtest::SetDataDirectory(data);
    vqtest::SetLogEcho(false);
    char from[MAXUSERNAME + 1] = "";
    if (MailLookupAddress("Jane Roe", from) != NOERROR) {
        std::fprintf(stderr, "%s: no \"Jane Roe\" in %s/names.nsf\n", argv[0], data.c_str());
        return 1;
    }
    const std::string body = Text(4096), attachment = Text(4096);
    for (long i = first; i < first + count; ++i) {
        vqop::Memo memo;
        memo.from = from;
        char to[64];
        std::snprintf(to, sizeof to, "Fax %ld@555.%04ld@FAXGATE", i, i % 10000);
        memo.sendTo = {to};
        memo.subject = "Scenario fax " + std::to_string(i);
        memo.body = body;
        memo.attachments = {{"notes.txt", attachment}};
        const STATUS s = vqop::TrySendMemo(memo);
        if (s != NOERROR) {
            std::fprintf(stderr, "%s: routing memo %ld failed with status %u\n", argv[0], i,
                         (unsigned)s);
            return 1;
        }
    }
    return 0;
}
