/*
 * gateway_fixture.h - what the gateway's pass tests share: a fixture that
 * points the gateway's globals at a spool tree inside the test's data
 * directory, and readers of the activity database's "Job Entry" notes.
 * Header-only: it needs the gateway library, which the platform's own
 * tests do not link.
 */
#ifndef VQ_GATEWAY_FIXTURE_H
#define VQ_GATEWAY_FIXTURE_H

#include <map>
#include <string>
#include <vector>

#include "notes_fixture.h"
#include "test_support.h"
#include "vortiq.h"
#include "vq_port.h"

namespace vqtest {

const char kActDb[] = "TMB_ACT.NSF";

/* FORM and the twelve items of a "Job Entry", in the gateway's order. */
inline const std::vector<std::string> &JobEntryItems()
{
    static const std::vector<std::string> items = {
        "FORM", "JobID", "Date",        "Time",       "Type",  "Attempts", "To",
        "From", "Pages", "Code", "Explanation", "Connection", "Speed"};
    return items;
}

/* A "Job Entry" as a map: FORM "Job Entry" and the twelve values. */
inline std::map<std::string, std::string> JobEntry(const std::vector<std::string> &values)
{
    std::map<std::string, std::string> out = {{"FORM", "Job Entry"}};
    for (size_t i = 0; i < values.size(); ++i)
        out[JobEntryItems()[i + 1]] = values[i];
    return out;
}

/* The items of an entry of the activity database. */
inline std::map<std::string, std::string> JobEntryOf(NOTEID id)
{
    return ItemTexts(kActDb, id, JobEntryItems());
}

/* Job number -> note IDs of its entries, in note-ID order. */
inline std::map<std::string, std::vector<NOTEID>> EntriesByJob()
{
    std::map<std::string, std::vector<NOTEID>> out;
    for (NOTEID id : DocumentIds(kActDb))
        out[ItemText(kActDb, id, "JobID")].push_back(id);
    return out;
}

/* The spool tree data/spool/TMBFAX with its folders, the gateway's
 * globals pointed at it and the activity database, the directory
 * "names.nsf" and the domain FAXGATE; E_quit and the fault seam are
 * cleared before and after. */
class GatewayTest : public PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        spool_ = vqop::CreateSpool(data_.path(), {"/FAX/IN", "/FAX/IPARCEL", "/FAX/ERROR", "/PUBLIC", "/UTIL/DATA"});
        VqCopy(GatewayPath, sizeof GatewayPath, spool_.c_str());
        GatewayDrive[0] = '\0';
        VqCopy(GatewayDomain, sizeof GatewayDomain, "FAXGATE");
        VqCopy(ActLogNsf, sizeof ActLogNsf, kActDb);
        VqCopy(szNameNsf, sizeof szNameNsf, "names.nsf");
        E_quit = 0;
    }
    void TearDown() override
    {
        E_quit = 0;
        PortFaultArm(0, 0, 0);
        PlatformTest::TearDown();
    }
    /* A path below the spool root, e.g. "/PUBLIC/SVCQ". */
    std::string Spool(const std::string &suffix) const { return spool_ + suffix; }

    std::string spool_;
};

}  // namespace vqtest

#endif /* VQ_GATEWAY_FIXTURE_H */
