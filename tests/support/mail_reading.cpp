/*
 * mail_reading.cpp - mail read back through the public mail calls (see
 * mail_reading.h). Every handle opened here is closed before returning,
 * so a test's handle count stays its own.
 */
#include "mail_reading.h"

#include <gtest/gtest.h>

#include "notes_fixture.h"
#include "test_support.h"

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
    TempDir tmp;
    for (NOTEID id : DocumentIds(db)) {
        MailMessage m;
        m.id = id;
        m.form = ItemText(db, id, "Form");
        if (!form.empty() && m.form != form)
            continue;
        m.subject = ItemText(db, id, "Subject");
        m.from = ItemText(db, id, "From");
        m.fromDomain = ItemText(db, id, "FromDomain");
        m.intended = ItemText(db, id, "IntendedRecipient");
        m.reason = ItemText(db, id, "FailureReason");
        m.sendTo = ItemList(db, id, "SendTo");
        DBHANDLE hDb = NULLHANDLE;
        NOTEHANDLE hNote = NULLHANDLE;
        EXPECT_EQ(NSFDbOpen(db.c_str(), &hDb), NOERROR);
        EXPECT_EQ(NSFNoteOpen(hDb, id, 0, &hNote), NOERROR);
        const std::string bodyFile = tmp / "body";
        DWORD size = 0;
        if (MailGetMessageBodyText(hNote, nullptr, "\n", 0, FALSE, bodyFile.c_str(), &size) == NOERROR)
            m.body = SplitLines(ReadFile(bodyFile));
        BLOCKID bh;
        char name[MAXPATH + 1] = "";
        for (WORD n = 0;
             MailGetMessageAttachmentInfo(hNote, n, &bh, name, nullptr, nullptr, nullptr, nullptr, nullptr);
             n++) {
            const std::string file = tmp / ("att" + std::to_string(n));
            EXPECT_EQ(MailExtractMessageAttachment(hNote, bh, file.c_str()), NOERROR);
            m.attachments.emplace_back(name, ReadFile(file));
        }
        NSFNoteClose(hNote);
        NSFDbClose(hDb);
        out.push_back(m);
    }
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
    std::vector<std::string> out;
    LIST *list = (LIST *)OSLockObject(h);
    for (WORD i = 0; i < ListGetNumEntries(list, TRUE); i++) {
        char *text = nullptr;
        WORD len = 0;
        EXPECT_EQ(ListGetText(list, TRUE, i, &text, &len), NOERROR);
        out.emplace_back(text, len);
    }
    OSUnlockObject(h);
    return out;
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
