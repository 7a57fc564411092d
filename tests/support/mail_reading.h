/*
 * mail_reading.h - reading mail back the way its owner and the gateway
 * read it: the messages of a mail file (the operator library's reader,
 * body as lines); the last message of a mail file opened as the outbound
 * pass opens it; and prefixed text lists (recipient and error file lists)
 * built from and read back into strings.
 */
#ifndef VQ_MAIL_READING_H
#define VQ_MAIL_READING_H

#include <string>
#include <utility>
#include <vector>

#include "notesapi.h"
#include "vq_operator.h"

namespace vqtest {

/* One message of a mail file as its owner reads it. */
struct MailMessage {
    NOTEID id = 0;
    std::string form, subject, from, fromDomain, intended, reason;
    std::vector<std::string> sendTo;
    std::vector<std::string> body;                                /* lines, ends dropped */
    std::vector<std::pair<std::string, std::string>> attachments; /* {name, bytes} */
    std::vector<std::string> AttachmentNames() const
    {
        std::vector<std::string> names;
        for (const auto &a : attachments)
            names.push_back(a.first);
        return names;
    }
};

using vqop::SplitLines; /* lines of a text */

/* The messages of a mail file in note-ID order; only those of a form when
 * one is given. */
std::vector<MailMessage> ReadMessages(const std::string &db, const std::string &form = "");

/* A prefixed text list owned by a test and freed at destruction. */
class TextList {
public:
    explicit TextList(const std::vector<std::string> &entries = {});
    ~TextList();
    TextList(const TextList &) = delete;
    TextList &operator=(const TextList &) = delete;
    /* The list locked for a call that reads it; unlocked at destruction. */
    LIST *Locked();
    std::vector<std::string> Entries();

    DHANDLE h = NULLHANDLE;
    WORD size = 0;  /* its byte size, as the list calls keep it */
    WORD count = 0; /* its entries, for calls that append and count */

private:
    int locks_ = 0;
};

/* The last message of a mail file, opened as the outbound pass opens it
 * (file, message list, message, originator, recipient count); everything
 * is closed at destruction. ok() is false when any step failed. */
class ListedMessage {
public:
    explicit ListedMessage(const std::string &mailFile);
    ~ListedMessage();
    ListedMessage(const ListedMessage &) = delete;
    ListedMessage &operator=(const ListedMessage &) = delete;
    bool ok() const { return hMessage != NULLHANDLE; }

    DBHANDLE hFile = NULLHANDLE;
    DHANDLE hMessageList = NULLHANDLE;
    DARRAY *MessageList = nullptr;
    WORD Msg = 0;
    DHANDLE hMessage = NULLHANDLE;
    std::string Originator;
    WORD RecipientCount = 0;
};

}  // namespace vqtest

#endif /* VQ_MAIL_READING_H */
