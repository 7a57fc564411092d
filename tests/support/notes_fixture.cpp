/*
 * notes_fixture.cpp - the tests' defaults over the operator library (see
 * notes_fixture.h).
 */
#include "notes_fixture.h"

namespace vqtest {

std::string AddPerson(const std::string &name, const std::string &shortName,
                      const std::string &mailFile, const std::string &faxNumber,
                      const std::string &org, const std::string &namesDb)
{
    return vqop::AddPerson({name, shortName, mailFile, faxNumber == "-" ? "" : faxNumber, org}, namesDb);
}

std::map<std::string, std::string> ItemTexts(const std::string &db, NOTEID id,
                                             const std::vector<std::string> &items)
{
    std::map<std::string, std::string> out;
    for (const auto &item : items)
        out[item] = ItemText(db, id, item);
    return out;
}

std::vector<MailDoc> MailIn(const std::string &db)
{
    std::vector<MailDoc> out;
    for (const vqop::Mail &m : vqop::ReadMail(db)) {
        /* the body as the item holds it: lines joined, no end after the last */
        std::string body = m.body;
        if (!body.empty() && body.back() == '\n')
            body.pop_back();
        out.push_back({m.subject, m.from, m.fromDomain, body, m.recipients, m.attachments});
    }
    return out;
}

}  // namespace vqtest
