/*
 * t30_line.cpp - the in-memory fax line (see t30_line.h). Time runs in
 * blocks of 20 ms (160 samples at 8 kHz); a call that has not ended after
 * 30 simulated minutes is given up.
 */
#include "t30_line.h"

#include <cstring>
#include <deque>
#include <memory>
#include <vector>

extern "C" {
#include <spandsp.h>
}

namespace t30line {

namespace {

constexpr int kBlock = 160;
constexpr long kMaxBlocks = 30L * 60 * 8000 / kBlock;

struct Side {
    bool done = false;
    int code = -1;
};

void PhaseE(t30_state_t *, void *user, int code)
{
    Side *side = static_cast<Side *>(user);
    side->done = true;
    side->code = code;
}

void Configure(t30_state_t *t30, bool ecm, Side *side, const char *ident)
{
    t30_set_tx_ident(t30, ident);
    t30_set_supported_modems(t30, T30_SUPPORT_V27TER | T30_SUPPORT_V29 | T30_SUPPORT_V17);
    t30_set_supported_compressions(t30, T30_SUPPORT_T4_1D_COMPRESSION | T30_SUPPORT_T4_2D_COMPRESSION |
                                            (ecm ? T30_SUPPORT_T6_COMPRESSION : 0));
    t30_set_ecm_capability(t30, ecm);
    t30_set_phase_e_handler(t30, PhaseE, side);
}

/* G.711 A-law on the wire: what each side hears is the other's sound
 * encoded and decoded. */
void Alaw(int16_t *amp, int len)
{
    for (int i = 0; i < len; ++i)
        amp[i] = alaw_to_linear(linear_to_alaw(amp[i]));
}

struct FaxFree {
    void operator()(fax_state_t *s) const { fax_free(s); }
};
struct T38Free {
    void operator()(t38_terminal_state_t *s) const { t38_terminal_free(s); }
};

long RunAudio(const std::string &tx, const std::string &rx, bool ecm, Side &a, Side &b, t30_stats_t &rxStats,
              t30_stats_t &txStats)
{
    std::unique_ptr<fax_state_t, FaxFree> caller(fax_init(nullptr, 1)), answerer(fax_init(nullptr, 0));
    if (!caller || !answerer)
        return -1;
    t30_state_t *ta = fax_get_t30_state(caller.get()), *tb = fax_get_t30_state(answerer.get());
    Configure(ta, ecm, &a, "VORTIQ TX");
    Configure(tb, ecm, &b, "VORTIQ RX");
    fax_set_transmit_on_idle(caller.get(), 1);
    fax_set_transmit_on_idle(answerer.get(), 1);
    t30_set_tx_file(ta, tx.c_str(), -1, -1);
    t30_set_rx_file(tb, rx.c_str(), -1);
    int16_t ab[kBlock], ba[kBlock];
    long blocks = 0;
    while (!(a.done && b.done) && blocks < kMaxBlocks) {
        int n = fax_tx(caller.get(), ab, kBlock);
        std::memset(ab + n, 0, sizeof(int16_t) * (kBlock - n));
        n = fax_tx(answerer.get(), ba, kBlock);
        std::memset(ba + n, 0, sizeof(int16_t) * (kBlock - n));
        Alaw(ab, kBlock);
        Alaw(ba, kBlock);
        fax_rx(answerer.get(), ab, kBlock);
        fax_rx(caller.get(), ba, kBlock);
        ++blocks;
    }
    t30_get_transfer_statistics(tb, &rxStats);
    t30_get_transfer_statistics(ta, &txStats);
    return blocks; /* the states go here, which closes the received file */
}

struct Packets {
    std::deque<std::vector<uint8_t>> queue;
    uint16_t seq = 0;
};

int QueuePacket(t38_core_state_t *, void *user, const uint8_t *buf, int len, int)
{
    static_cast<Packets *>(user)->queue.emplace_back(buf, buf + len);
    return 0;
}

void Deliver(Packets &from, t38_terminal_state_t *to)
{
    t38_core_state_t *core = t38_terminal_get_t38_core_state(to);
    while (!from.queue.empty()) {
        std::vector<uint8_t> p = std::move(from.queue.front());
        from.queue.pop_front();
        t38_core_rx_ifp_packet(core, p.data(), (int)p.size(), from.seq++);
    }
}

long RunT38(const std::string &tx, const std::string &rx, Side &a, Side &b, t30_stats_t &rxStats,
            t30_stats_t &txStats)
{
    Packets fromA, fromB;
    std::unique_ptr<t38_terminal_state_t, T38Free> caller(t38_terminal_init(nullptr, 1, QueuePacket, &fromA)),
        answerer(t38_terminal_init(nullptr, 0, QueuePacket, &fromB));
    if (!caller || !answerer)
        return -1;
    t30_state_t *ta = t38_terminal_get_t30_state(caller.get()), *tb = t38_terminal_get_t30_state(answerer.get());
    Configure(ta, true, &a, "VORTIQ TX");
    Configure(tb, true, &b, "VORTIQ RX");
    t30_set_tx_file(ta, tx.c_str(), -1, -1);
    t30_set_rx_file(tb, rx.c_str(), -1);
    long blocks = 0;
    while (!(a.done && b.done) && blocks < kMaxBlocks) {
        t38_terminal_send_timeout(caller.get(), kBlock);
        t38_terminal_send_timeout(answerer.get(), kBlock);
        Deliver(fromA, answerer.get());
        Deliver(fromB, caller.get());
        ++blocks;
    }
    t30_get_transfer_statistics(tb, &rxStats);
    t30_get_transfer_statistics(ta, &txStats);
    return blocks;
}

}  // namespace

const char *ModeName(Mode mode)
{
    switch (mode) {
    case Mode::AudioEcm:
        return "G.711 with ECM";
    case Mode::AudioNoEcm:
        return "G.711 without ECM";
    case Mode::T38:
        return "T.38";
    }
    return "?";
}

bool SendOverLine(const std::string &txTiff, const std::string &rxTiff, Mode mode, std::string *why)
{
    return SendOverLine(txTiff, rxTiff, mode, why, nullptr);
}

bool SendOverLine(const std::string &txTiff, const std::string &rxTiff, Mode mode, std::string *why,
                  LineStats *stats)
{
    Side a, b;
    t30_stats_t rxStats{}, txStats{};
    long blocks = mode == Mode::T38 ? RunT38(txTiff, rxTiff, a, b, rxStats, txStats)
                                    : RunAudio(txTiff, rxTiff, mode == Mode::AudioEcm, a, b, rxStats, txStats);
    std::string w;
    if (blocks < 0)
        w = "cannot set up the fax endpoints";
    else if (!a.done || !b.done)
        w = "the call did not end within 30 minutes of line time";
    else if (a.code != T30_ERR_OK)
        w = std::string("the sender ended with: ") + t30_completion_code_to_str(a.code);
    else if (b.code != T30_ERR_OK)
        w = std::string("the receiver ended with: ") + t30_completion_code_to_str(b.code);
    else if (rxStats.pages_rx != txStats.pages_tx || rxStats.pages_rx < 1)
        w = std::to_string(rxStats.pages_rx) + " pages arrived of " + std::to_string(txStats.pages_tx) + " sent";
    if (stats != nullptr) {
        stats->pagesSent = txStats.pages_tx;
        stats->pagesReceived = rxStats.pages_rx;
        stats->callSeconds = blocks < 0 ? 0 : blocks * (double)kBlock / 8000.0;
        stats->bitRate = rxStats.bit_rate;
        stats->ecm = rxStats.error_correcting_mode != 0;
        stats->completionCode = a.code;
    }
    if (why != nullptr)
        *why = w;
    return w.empty();
}

}  // namespace t30line
