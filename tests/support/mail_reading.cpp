/*
 * mail_reading.cpp - mail read back through the operator library and the
 * public mail calls (see mail_reading.h).
 */
#include "mail_reading.h"

#include <gtest/gtest.h>

#include "test_support.h"
#include "vq_operator.h"

namespace vqtest {

std::vector<std::string> MailMessage::AttachmentNames() const
{
    std::vector<std::string> names;
    for (const auto &a : attachments)
        names.push_back(a.first);
    return names;
}

std::vector<std::string> SplitLines(const std::string &text)
{
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos)
            nl = text.size();
        std::string line = text.substr(start, nl - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = nl + 1;
    }
    return lines;
}

std::vector<MailMessage> ReadMessages(const std::string &db, const std::string &form)
{
    std::vector<MailMessage> out;
    for (const vqop::Mail &m : vqop::ReadMail(db, form))
        out.push_back({m.id, m.form, m.subject, m.from, m.fromDomain, m.intended, m.reason, m.sendTo,
                       SplitLines(m.body), m.attachments});
    return out;
}

TextList::TextList(const std::vector<std::string> &entries)
{
    LIST *list = nullptr;
    EXPECT_EQ(ListAllocate(0, 0, TRUE, &h, &list, &size), NOERROR);
    OSUnlockObject(h);
    for (const auto &e : entries)
        EXPECT_EQ(ListAddEntry(h, TRUE, &size, count++, e.c_str(), (WORD)e.size()), NOERROR);
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
