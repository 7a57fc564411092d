/*
 * notes_ini_fuzz.cpp - the server's notes.ini as an operator (or SET
 * CONFIG) may leave it: the input is the whole file. Each of the gateway's
 * variables is read into a buffer of exactly the width the gateway gives
 * it, then the task itself starts on that file and stops at its first
 * turn, so that the configuration reading of the start-up runs too.
 *
 * "$SPOOL" in the input stands for a spool folder that exists, so that
 * inputs can get past the spool check to the later variables. The mail
 * file is pinned by a first line (the first occurrence of a key wins), so
 * that no input can make the task create a database elsewhere.
 */
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_support.h"

using vqfuzz::Require;
using vqfuzz::RequireTerminated;

namespace {

std::string g_dir;
std::string g_spool;
HMODULE g_module = NULLHANDLE;

/* The gateway's variables and the widths it reads them with. */
struct Variable {
    const char *Name;
    WORD Width;
};
const Variable kVariables[] = {
    {"VortiqDomain", 32},           {"VortiqPath", 249},
    {"VortiqMsgfile", 260},         {"VortiqAdministrator", 256},
    {"VortiqDefaultRecipient", 256}, {"VortiqActivityDatabase", 260},
    {"VortiqUserDIDDatabase", 260}, {"VortiqInterval", 32},
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    vqfuzz::g_target = "notes_ini_fuzz";
    g_dir = vqfuzz::MakeScratch("ini");
    g_spool = g_dir + "/spool";
    std::filesystem::create_directories(g_spool + "/TMBFAX");
    vqfuzz::UseDataDirectory(g_dir);
    vqop::AddPerson({"Fax Admin", "faxadmin", ""});
    NotesInitModule(&g_module, nullptr, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    std::string Text(reinterpret_cast<const char *>(Data), Size);
    for (size_t Pos = Text.find("$SPOOL"); Pos != std::string::npos;
         Pos = Text.find("$SPOOL", Pos + g_spool.size()))
        Text.replace(Pos, 6, g_spool);
    {
        FILE *Ini = std::fopen((g_dir + "/notes.ini").c_str(), "wb");
        Require(Ini != nullptr, "notes.ini");
        std::fputs("VortiqMsgfile=vortiq.box\n", Ini);
        std::fwrite(Text.data(), 1, Text.size(), Ini);
        std::fclose(Ini);
    }
    const vqfuzz::HandleCheck Handles;

    for (const Variable &v : kVariables) {
        std::vector<char> Value((size_t)v.Width + 1, 'x');
        if (OSGetEnvironmentString(v.Name, Value.data(), v.Width)) {
            RequireTerminated(Value.data(), Value.size(), "value not terminated in its width");
            Require(std::strlen(Value.data()) <= v.Width, "value longer than asked");
        }
    }
    (void)OSGetEnvironmentLong("VortiqInterval");

    vqtest::ResetIdle();
    vqtest::SetIdlePaceMs(0);
    vqtest::SetIdleStopAfter(0);
    AddInMain(g_module, 0, nullptr);

    RequireTerminated(GatewayDomain, sizeof GatewayDomain, "GatewayDomain");
    RequireTerminated(GatewayPath, sizeof GatewayPath, "GatewayPath");
    RequireTerminated(GatewayDrive, sizeof GatewayDrive, "GatewayDrive");
    RequireTerminated(GatewayMsgfile, sizeof GatewayMsgfile, "GatewayMsgfile");
    RequireTerminated(FaxAdministrator, sizeof FaxAdministrator, "FaxAdministrator");
    RequireTerminated(DefRecipient, sizeof DefRecipient, "DefRecipient");
    RequireTerminated(ActLogNsf, sizeof ActLogNsf, "ActLogNsf");
    RequireTerminated(szNameNsf, sizeof szNameNsf, "szNameNsf");
    Require(hMessageFile == NULLHANDLE, "the gateway mail file stayed open after the task");
    Handles.Check();
    vqtest::ClearLog();
    vqtest::ClearStatus();
    return 0;
}
