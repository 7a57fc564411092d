/*
 * outbound_fixture.h - the server the outbound tests run against: the
 * router's mail.box, the foreign domain FAXGATE routed into the gateway
 * mail file vortiq.box, a sender and the fax administrator with their
 * mail files, and the spool's outbound folders. Header-only: it sets the
 * gateway's globals, which the support library does not link.
 */
#ifndef VQ_OUTBOUND_FIXTURE_H
#define VQ_OUTBOUND_FIXTURE_H

#include <filesystem>
#include <string>
#include <vector>

#include "gateway_fixture.h"
#include "mail_reading.h"
#include "outbound.h"

namespace vqtest {

class OutboundTest : public GatewayTest {
protected:
    void SetUp() override
    {
        GatewayTest::SetUp();
        for (const char *dir : {SPOOL_FAX_OUT, SPOOL_FAX_OPARCEL, SPOOL_FAX_ERROR})
            MakeDirs(Spool(dir));
        CreateMailFile("mail.box", "Mail Router");
        CreateNamesDb();
        AddForeignDomain("FAXGATE", "vortiq.box");
        admin_ = AddPerson("Fax Admin", "fadmin", "fadmin.nsf");
        sender_ = AddPerson("John Smith", "jsmith", "jsmith.nsf");
        VqCopy(GatewayMsgfile, sizeof GatewayMsgfile, "vortiq.box");
        VqCopy(FaxAdministrator, sizeof FaxAdministrator, admin_.c_str());
        IsTambriDll = 0;
    }
    void TearDown() override
    {
        IsTambriDll = 0;
        GatewayTest::TearDown();
    }

    /* A memo from the sender to one fax recipient, routed to vortiq.box. */
    Memo FaxMemo(const std::string &subject, const std::string &to = "Jane Roe@555.0100@FAXGATE") const
    {
        Memo m;
        m.from = sender_;
        m.sendTo = {to};
        m.subject = subject;
        return m;
    }
    /* Names in a spool folder, e.g. Files(SPOOL_FAX_OUT). */
    std::vector<std::string> Files(const char *suffix) const { return ListDir(Spool(suffix)); }
    /* Empties the outbound folders between the rows of a table. */
    void ClearSpool() const
    {
        for (const char *dir : {SPOOL_FAX_OUT, SPOOL_FAX_OPARCEL, SPOOL_FAX_ERROR})
            for (const std::string &f : Files(dir))
                std::filesystem::remove(Spool(dir) + "/" + f);
    }

    std::string admin_, sender_;
};

}  // namespace vqtest

#endif /* VQ_OUTBOUND_FIXTURE_H */
