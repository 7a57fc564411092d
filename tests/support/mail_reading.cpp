/*
 * mail_reading.cpp - mail read back through the operator library and the
 * public mail calls (see mail_reading.h).
 */
#include "mail_reading.h"

#include <gtest/gtest.h>

#include "test_support.h"
#include "vq_operator.h"

namespace vqtest {

std::vector<MailMessage> ReadMessages(const std::string &db, const std::string &form)
{
    std::vector<MailMessage> out;
    for (const vqop::Mail &m : vqop::ReadMail(db, form))
        out.push_back({m.id, m.form, m.subject, m.from, m.fromDomain, m.intended, m.reason, m.sendTo,
                       m.body.empty() ? std::vector<std::string>() : SplitLines(m.body + "\n"),
                       m.attachments});
    return out;
}

TextList::TextList(const std::vector<std::string> &entries)
{
    h = MakeTextList(entries, TRUE, &size);
    count = (WORD)entries.size();
}

TextList::~TextList()
{
    for (; locks_ > 0; locks_--)
        OSUnlockObject(h);
    OSMemFree(h);
}

LIST *TextList::Locked()
{
    locks_++;
    return (LIST *)OSLockObject(h);
}

std::vector<std::string> TextList::Entries()
{
    return TextListOf(h);
}

ListedMessage::ListedMessage(const std::string &mailFile)
{
    WORD count = 0, len = 0;
    char originator[MAXUSERNAME + 1] = "";
    if (MailOpenMessageFile(mailFile.c_str(), &hFile) != NOERROR ||
        MailCreateMessageList(hFile, &hMessageList, &MessageList, &count) != NOERROR || count == 0) {
        ADD_FAILURE() << "no message listed in " << mailFile;
        return;
    }
    Msg = (WORD)(count - 1);
    if (MailOpenMessage(MessageList, Msg, &hMessage) != NOERROR) {
        ADD_FAILURE() << "MailOpenMessage failed in " << mailFile;
        hMessage = NULLHANDLE;
        return;
    }
    EXPECT_EQ(MailGetMessageOriginator(MessageList, Msg, originator, sizeof originator, &len), NOERROR);
    Originator = originator;
    MailGetMessageInfo(MessageList, Msg, &RecipientCount, nullptr, nullptr);
}

ListedMessage::~ListedMessage()
{
    if (hMessage != NULLHANDLE)
        MailCloseMessage(hMessage);
    if (hMessageList != NULLHANDLE) {
        OSUnlockObject(hMessageList);
        OSMemFree(hMessageList);
    }
    if (hFile != NULLHANDLE)
        MailCloseMessageFile(hFile);
}

}  // namespace vqtest
