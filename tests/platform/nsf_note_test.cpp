/*
 * nsf_note_test.cpp - notes and items: a saved note reads back exactly
 * (texts, lists, times, numbers, typed items, several large "$FILE"
 * items), item names without case, replacing and appending, bounded text
 * reads, value blocks owned by the note, note IDs never reused, the
 * modified time stamped and kept, deletes, list entries too long for
 * their WORD length.
 */
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "vq_nsf.h"
#include "vq_runtime.h"

namespace {

struct ScannedItem {
    std::string name;
    WORD flags;
    WORD type;
    std::string value;
};

STATUS Collect(WORD, WORD flags, char *name, WORD nameLen, void *value, DWORD valueLen, void *p)
{
    WORD type;
    std::memcpy(&type, value, sizeof type);
    static_cast<std::vector<ScannedItem> *>(p)->push_back(
        {std::string(name, nameLen), flags, type,
         std::string((const char *)value + sizeof(WORD), valueLen - sizeof(WORD))});
    return NOERROR;
}

std::vector<ScannedItem> Scan(NOTEHANDLE n)
{
    std::vector<ScannedItem> items;
    EXPECT_EQ(NSFItemScan(n, Collect, &items), NOERROR);
    return items;
}

std::string Text(NOTEHANDLE n, const char *item, WORD size = 256)
{
    std::vector<char> buf(size + 1, '#');
    WORD len = NSFItemGetText(n, item, buf.data(), size);
    EXPECT_EQ(std::strlen(buf.data()), len) << item;
    return std::string(buf.data(), len);
}

std::vector<std::string> List(NOTEHANDLE n, const char *item)
{
    std::vector<std::string> out;
    WORD count = NSFItemGetTextListEntries(n, item);
    for (WORD i = 0; i < count; ++i) {
        char buf[256];
        WORD len = NSFItemGetTextListEntry(n, item, i, buf, sizeof buf - 1);
        out.emplace_back(buf, len);
    }
    return out;
}

class NsfNoteTest : public vqtest::DbTest {
protected:
    /* A new note of db_ (none when the create failed). */
    NOTEHANDLE New()
    {
        NOTEHANDLE n = NULLHANDLE;
        EXPECT_EQ(NSFNoteCreate(db_, &n), NOERROR);
        return n;
    }
    NOTEID Save(NOTEHANDLE n)
    {
        EXPECT_EQ(NSFNoteUpdate(n, 0), NOERROR);
        NOTEID id = 0;
        NSFNoteGetInfo(n, _NOTE_ID, &id);
        return id;
    }
};

TEST_F(NsfNoteTest, SavedNoteReadsBackExactlyAfterReopen)
{
    const std::string body("rich\0text\x01\xff", 11);
    const std::string big(12 * 1024 * 1024 + 7, 'A');
    const std::string small("PK\x03\x04\0\0", 6);
    TIMEDATE when;
    VqTimeDateFromUnix(1234567890, 42, &when);
    const NUMBER pages = 3.5;

    NOTEHANDLE n = New();
    ASSERT_EQ(NSFItemSetText(n, "Subject", "Hello fax", MAXWORD), NOERROR);
    ASSERT_EQ(NSFItemSetText(n, "Cut", "abcdef", 3), NOERROR);
    ASSERT_EQ(NSFItemCreateTextList(n, "SendTo", "a@b", MAXWORD), NOERROR);
    ASSERT_EQ(NSFItemAppendTextList(n, "SendTo", "", 0, TRUE), NOERROR);
    ASSERT_EQ(NSFItemAppendTextList(n, "SendTo", "c | 123 @ FAX", MAXWORD, TRUE), NOERROR);
    ASSERT_EQ(NSFItemSetTime(n, "PostedDate", &when), NOERROR);
    ASSERT_EQ(NSFItemSetNumber(n, "Pages", &pages), NOERROR);
    ASSERT_EQ(NSFItemAppend(n, 0, "Body", 4, TYPE_COMPOSITE, body.data(), (DWORD)body.size()),
              NOERROR);
    ASSERT_EQ(NSFItemAppend(n, 0, "$FILE", 5, TYPE_OBJECT, big.data(), (DWORD)big.size()), NOERROR);
    ASSERT_EQ(NSFItemAppend(n, 0, "$FILE", 5, TYPE_OBJECT, small.data(), (DWORD)small.size()),
              NOERROR);
    NOTEID id = Save(n);
    ASSERT_NE(id, 0u);
    const std::vector<ScannedItem> before = Scan(n);
    NSFNoteClose(n);

    Reopen();
    ASSERT_EQ(NSFNoteOpen(db_, id, 0, &n), NOERROR);
    const std::vector<ScannedItem> after = Scan(n);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(after[i].name, before[i].name) << i;
        EXPECT_EQ(after[i].flags, before[i].flags) << i;
        EXPECT_EQ(after[i].type, before[i].type) << i;
        EXPECT_TRUE(after[i].value == before[i].value) << "value of item " << i;
    }
    EXPECT_EQ(Text(n, "Subject"), "Hello fax");
    EXPECT_EQ(Text(n, "Cut"), "abc");
    EXPECT_EQ(List(n, "SendTo"), (std::vector<std::string>{"a@b", "", "c | 123 @ FAX"}));
    TIMEDATE gotTime = {{0, 0}};
    EXPECT_TRUE(NSFItemGetTime(n, "PostedDate", &gotTime));
    EXPECT_EQ(std::memcmp(&gotTime, &when, sizeof when), 0);
    NUMBER gotPages = 0;
    EXPECT_TRUE(NSFItemGetNumber(n, "Pages", &gotPages));
    EXPECT_EQ(gotPages, pages);
    EXPECT_FALSE(NSFItemGetTime(n, "Subject", &gotTime));
    EXPECT_FALSE(NSFItemGetNumber(n, "Missing", &gotPages));

    /* Both attachments, in order, through NSFItemInfo / NSFItemInfoNext. */
    BLOCKID item, value;
    WORD type = 0;
    DWORD len = 0;
    ASSERT_EQ(NSFItemInfo(n, "$file", 5, &item, &type, &value, &len), NOERROR);
    EXPECT_EQ(type, TYPE_OBJECT);
    EXPECT_EQ(len, big.size() + sizeof(WORD));
    char *p = OSLockBlock(char, value);
    WORD stored;
    std::memcpy(&stored, p, sizeof stored);
    EXPECT_EQ(stored, TYPE_OBJECT);
    EXPECT_TRUE(std::memcmp(p + sizeof(WORD), big.data(), big.size()) == 0);
    OSUnlockBlock(value);
    ASSERT_EQ(NSFItemInfoNext(n, item, "$FILE", 5, &item, &type, &value, &len), NOERROR);
    EXPECT_EQ(len, small.size() + sizeof(WORD));
    p = OSLockBlock(char, value);
    EXPECT_EQ(std::string(p + sizeof(WORD), small.size()), small);
    OSUnlockBlock(value);
    EXPECT_EQ(NSFItemInfoNext(n, item, "$FILE", 5, &item, &type, &value, &len), ERR_ITEM_NOT_FOUND);
    EXPECT_EQ(type, 0);
    NSFNoteClose(n);
}

TEST_F(NsfNoteTest, ItemNamesCompareWithoutCaseAndKeepTheirCase)
{
    NOTEHANDLE n = New();
    NSFItemSetText(n, "JobID", "0001", MAXWORD);
    EXPECT_EQ(Text(n, "JOBID"), "0001");
    EXPECT_TRUE(NSFItemIsPresent(n, "jobid", 5));
    NSFItemSetText(n, "jobid", "0002", MAXWORD); /* replaces, keeps one item */
    std::vector<ScannedItem> items = Scan(n);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].name, "jobid");
    EXPECT_EQ(items[0].value, "0002");
    EXPECT_EQ(NSFItemDelete(n, "JOBID", 5), NOERROR);
    EXPECT_FALSE(NSFItemIsPresent(n, "JobID", 5));
    EXPECT_EQ(NSFItemDelete(n, "JOBID", 5), ERR_ITEM_NOT_FOUND);
    NSFNoteClose(n);
}

TEST_F(NsfNoteTest, SettersReplaceEveryItemOfTheNameInPlace)
{
    NOTEHANDLE n = New();
    NSFItemSetText(n, "First", "1", MAXWORD);
    NSFItemAppend(n, 0, "Twice", 5, TYPE_TEXT, "a", 1);
    NSFItemAppend(n, 0, "twice", 5, TYPE_TEXT, "b", 1);
    NSFItemSetText(n, "Last", "9", MAXWORD);
    ASSERT_EQ(NSFItemSetText(n, "TWICE", "c", MAXWORD), NOERROR);
    std::vector<ScannedItem> items = Scan(n);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[1].name, "TWICE");
    EXPECT_EQ(items[1].value, "c");
    EXPECT_EQ(items[1].flags & ITEM_SUMMARY, ITEM_SUMMARY);
    EXPECT_EQ(items[2].name, "Last");
    NSFNoteClose(n);
}

TEST_F(NsfNoteTest, AppendTextListCreatesConvertsAndHonoursDuplicates)
{
    NOTEHANDLE n = New();
    ASSERT_EQ(NSFItemAppendTextList(n, "New", "x", MAXWORD, FALSE), NOERROR);
    EXPECT_EQ(List(n, "New"), std::vector<std::string>{"x"});
    NSFItemSetText(n, "Conv", "first", MAXWORD);
    EXPECT_EQ(NSFItemGetTextListEntries(n, "Conv"), 1);
    ASSERT_EQ(NSFItemAppendTextList(n, "conv", "second", MAXWORD, FALSE), NOERROR);
    EXPECT_EQ(List(n, "Conv"), (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(NSFItemAppendTextList(n, "Conv", "first", MAXWORD, FALSE), NOERROR);
    EXPECT_EQ(NSFItemGetTextListEntries(n, "Conv"), 2);
    EXPECT_EQ(NSFItemAppendTextList(n, "Conv", "first", MAXWORD, TRUE), NOERROR);
    EXPECT_EQ(NSFItemGetTextListEntries(n, "Conv"), 3);
    NUMBER num = 1;
    NSFItemSetNumber(n, "Num", &num);
    EXPECT_EQ(NSFItemAppendTextList(n, "Num", "x", MAXWORD, TRUE), ERR_BAD_PARAM);
    EXPECT_TRUE(NSFItemGetNumber(n, "Num", &num)); /* left as it was */
    NSFNoteClose(n);
}

TEST_F(NsfNoteTest, GetTextCutsAtTheBufferAndFormatsOtherTypes)
{
    NOTEHANDLE n = New();
    NSFItemSetText(n, "T", "abcdef", MAXWORD);
    NSFItemCreateTextList(n, "L", "head", MAXWORD);
    NSFItemAppendTextList(n, "L", "tail", MAXWORD, TRUE);
    NUMBER num = 2.25;
    NSFItemSetNumber(n, "N", &num);
    TIMEDATE t;
    VqTimeDateFromUnix(1600000000, 0, &t);
    NSFItemSetTime(n, "D", &t);
    char want[MAXALPHATIMEDATE + 1];
    WORD wantLen = 0;
    ConvertTIMEDATEToText(nullptr, nullptr, &t, want, MAXALPHATIMEDATE, &wantLen);
    want[wantLen] = '\0';
    struct Case {
        const char *item;
        WORD size;
        std::string want;
    };
    const Case cases[] = {
        {"T", 256, "abcdef"}, {"T", 7, "abcdef"}, {"T", 6, "abcde"}, {"T", 1, ""},
        {"L", 256, "head"},   {"N", 256, "2.25"}, {"D", 256, want},  {"Missing", 256, ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Text(n, c.item, c.size), c.want) << c.item << " in " << c.size;
    char untouched = 'z';
    EXPECT_EQ(NSFItemGetText(n, "T", &untouched, 0), 0);
    EXPECT_EQ(untouched, 'z');

    /* BufferLength of a list entry is the size - 1. */
    char buf[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(NSFItemGetTextListEntry(n, "L", 1, buf, 3), 3);
    EXPECT_STREQ(buf, "tai");
    EXPECT_EQ(NSFItemGetTextListEntry(n, "L", 2, buf, 3), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(NSFItemGetTextListEntry(n, "T", 0, buf, 3), 3);
    EXPECT_EQ(NSFItemGetTextListEntries(n, "Missing"), 0);
    NSFNoteClose(n);
}

TEST_F(NsfNoteTest, ValueBlocksBelongToTheNoteAndAreHandedOutOnce)
{
    NOTEHANDLE n = New();
    NSFItemSetText(n, "A", "one", MAXWORD);
    NSFItemSetText(n, "B", "two", MAXWORD);
    const size_t memBefore = vqtest::HandleCount(vqtest::HandleKind::Memory);
    BLOCKID item1, value1, item2, value2;
    WORD type = 0;
    DWORD len = 0;
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(NSFItemInfo(n, "A", 1, &item1, &type, &value1, &len), NOERROR);
    ASSERT_EQ(NSFItemInfo(n, "A", 1, &item2, &type, &value2, &len), NOERROR);
    EXPECT_EQ(value1.pool, value2.pool);
    EXPECT_EQ(vqtest::HandleCount(vqtest::HandleKind::Memory), memBefore + 1);
    /* A NULL name gives the first item; InfoNext without a name walks on. */
    ASSERT_EQ(NSFItemInfo(n, nullptr, 0, &item1, &type, &value1, &len), NOERROR);
    ASSERT_EQ(NSFItemInfoNext(n, item1, nullptr, 0, &item2, &type, &value2, &len), NOERROR);
    EXPECT_EQ(std::string(OSLockBlock(char, value2) + sizeof(WORD), 3), "two");
    OSUnlockBlock(value2);
    /* Replacing the item keeps the block it handed out readable. */
    NSFItemSetText(n, "A", "changed", MAXWORD);
    EXPECT_EQ(std::string(OSLockBlock(char, value1) + sizeof(WORD), 3), "one");
    OSUnlockBlock(value1);
    EXPECT_EQ(NSFItemInfo(n, "Missing", 7, &item1, &type, &value1, &len), ERR_ITEM_NOT_FOUND);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(value1.pool, NULLHANDLE);
    NSFNoteClose(n);
    EXPECT_EQ(vqtest::HandleCount(vqtest::HandleKind::Memory), memBefore);
}

TEST_F(NsfNoteTest, IdsAreNeverReusedAndModifiedTimeIsStampedAndKept)
{
    vqtest::SetClock(1700000000, 50);
    NOTEHANDLE n = New();
    NOTEID id = 1;
    NSFNoteGetInfo(n, _NOTE_ID, &id);
    EXPECT_EQ(id, 0u) << "an unsaved note has no ID";
    NSFItemSetText(n, "Form", "Job Entry", MAXWORD);
    NOTEID first = Save(n);
    TIMEDATE mod, want;
    VqTimeDateFromUnix(1700000000, 50, &want);
    NSFNoteGetInfo(n, _NOTE_MODIFIED, &mod);
    EXPECT_EQ(TimeDateCompare(&mod, &want), 0);
    DBHANDLE owner = NULLHANDLE;
    NSFNoteGetInfo(n, _NOTE_DB, &owner);
    EXPECT_EQ(owner, db_);
    WORD cls = 0;
    NSFNoteGetInfo(n, _NOTE_CLASS, &cls);
    EXPECT_EQ(cls, NOTE_CLASS_DOCUMENT);
    NSFNoteClose(n);

    ASSERT_EQ(NSFNoteDelete(db_, first, 0), NOERROR);
    ASSERT_EQ(NSFNoteCreate(db_, &n), NOERROR);
    NOTEID second = Save(n);
    NSFNoteClose(n);
    EXPECT_GT(second, first);

    /* A later update moves the time on; a reopen sees it. */
    vqtest::SetClock(1700086400);
    ASSERT_EQ(NSFNoteOpen(db_, second, 0, &n), NOERROR);
    EXPECT_EQ(Save(n), second);
    NSFNoteClose(n);
    Reopen();
    ASSERT_EQ(NSFNoteOpen(db_, second, 0, &n), NOERROR);
    NSFNoteGetInfo(n, _NOTE_MODIFIED, &mod);
    VqTimeDateFromUnix(1700086400, 0, &want);
    EXPECT_EQ(TimeDateCompare(&mod, &want), 0);
    NSFNoteClose(n);
}

TEST_F(NsfNoteTest, DeletedNotesCannotBeOpenedDeletedOrSavedAgain)
{
    NOTEHANDLE n = NULLHANDLE, stale = NULLHANDLE;
    ASSERT_EQ(NSFNoteCreate(db_, &n), NOERROR);
    NSFItemSetText(n, "Subject", "x", MAXWORD);
    NOTEID id = Save(n);
    NSFNoteClose(n);
    ASSERT_EQ(NSFNoteOpen(db_, id, 0, &stale), NOERROR);
    ASSERT_EQ(NSFNoteDelete(db_, id, UPDATE_NOSTUB), NOERROR);
    EXPECT_EQ(NSFNoteOpen(db_, id, 0, &n), ERR_INVALID_NOTE);
    EXPECT_EQ(n, NULLHANDLE);
    EXPECT_EQ(NSFNoteDelete(db_, id, 0), ERR_INVALID_NOTE);
    EXPECT_EQ(NSFNoteDelete(db_, 0, 0), ERR_INVALID_NOTE);
    EXPECT_EQ(NSFNoteOpen(db_, 999, 0, &n), ERR_INVALID_NOTE);
    /* Saving a copy opened before the delete must not bring it back. */
    EXPECT_EQ(NSFNoteUpdate(stale, 0), ERR_NOTE_DELETED);
    NSFNoteClose(stale);
    EXPECT_EQ(NSFNoteOpen(db_, id, 0, &n), ERR_INVALID_NOTE);
}

TEST_F(NsfNoteTest, UpdateReplacesAllItemsOfTheSavedNote)
{
    NOTEHANDLE n = New();
    NSFItemSetText(n, "Keep", "k", MAXWORD);
    NSFItemSetText(n, "Drop", "d", MAXWORD);
    NOTEID id = Save(n);
    NSFNoteClose(n);
    ASSERT_EQ(NSFNoteOpen(db_, id, 0, &n), NOERROR);
    NSFItemDelete(n, "Drop", 4);
    NSFItemSetText(n, "Keep", "k2", MAXWORD);
    Save(n);
    NSFNoteClose(n);
    ASSERT_EQ(NSFNoteOpen(db_, id, 0, &n), NOERROR);
    std::vector<ScannedItem> items = Scan(n);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].value, "k2");
    NSFNoteClose(n);
}

TEST_F(NsfNoteTest, AnItemTooLargeToHandBackIsRefused)
{
    NOTEHANDLE n = New();
    const char small[4] = {1, 2, 3, 4};
    /* The length alone decides; the value is not read. */
    EXPECT_EQ(NSFItemAppend(n, 0, "$FILE", 5, TYPE_OBJECT, small, 64u * 1024u * 1024u), ERR_MEMORY);
    EXPECT_FALSE(NSFItemIsPresent(n, "$FILE", 5));
    EXPECT_EQ(NSFItemAppend(n, 0, "$FILE", 5, TYPE_OBJECT, nullptr, 4), ERR_BAD_PARAM);
    EXPECT_EQ(NSFItemSetText(n, "", "x", MAXWORD), ERR_BAD_PARAM);
    NSFNoteClose(n);
}

/* A list entry longer than a WORD had its length wrapped: the entry read
 * back as its first bytes and every entry after it from the wrong place.
 * Such an entry is refused and the item is left as it was. */
TEST_F(NsfNoteTest, ListEntryLongerThanAWordIsRefusedNotWrapped)
{
    NOTEHANDLE n = New();
    const std::string longText(0x10000 + 3, 'L');
    EXPECT_EQ(NSFItemCreateTextList(n, "New", longText.c_str(), MAXWORD), ERR_SEGMENT_TOO_BIG);
    EXPECT_FALSE(NSFItemIsPresent(n, "New", 3));

    ASSERT_EQ(NSFItemCreateTextList(n, "List", "a", MAXWORD), NOERROR);
    EXPECT_EQ(NSFItemAppendTextList(n, "List", longText.c_str(), MAXWORD, TRUE), ERR_SEGMENT_TOO_BIG);
    EXPECT_EQ(NSFItemAppendTextList(n, "List", "b", MAXWORD, TRUE), NOERROR);
    EXPECT_EQ(List(n, "List"), (std::vector<std::string>{"a", "b"}));

    /* A long text item cannot become a list's first entry either. */
    ASSERT_EQ(NSFItemSetText(n, "Body", longText.c_str(), MAXWORD), NOERROR);
    EXPECT_EQ(NSFItemAppendTextList(n, "Body", "x", MAXWORD, TRUE), ERR_SEGMENT_TOO_BIG);
    EXPECT_EQ(Text(n, "Body", 0xFFFF).size(), 0xFFFEu);
    EXPECT_EQ(NSFItemGetTextListEntries(n, "Body"), 1);

    /* The longest entry a WORD can give still reads back whole. */
    const std::string longest(0xFFFF, 'M');
    ASSERT_EQ(NSFItemAppendTextList(n, "List", longest.c_str(), MAXWORD, TRUE), NOERROR);
    std::vector<char> buf(0x10000 + 1);
    EXPECT_EQ(NSFItemGetTextListEntry(n, "List", 2, buf.data(), 0xFFFF), 0xFFFF);
    EXPECT_EQ(std::string(buf.data()), longest);
    NSFNoteClose(n);
}

TEST_F(NsfNoteTest, ScanStopsAtTheRoutinesStatus)
{
    NOTEHANDLE n = New();
    NSFItemSetText(n, "A", "1", MAXWORD);
    NSFItemSetText(n, "B", "2", MAXWORD);
    int calls = 0;
    auto stop = [](WORD, WORD, char *, WORD, void *, DWORD, void *p) -> STATUS {
        ++*static_cast<int *>(p);
        return ERR_NOT_FOUND;
    };
    EXPECT_EQ(NSFItemScan(n, stop, &calls), ERR_NOT_FOUND);
    EXPECT_EQ(calls, 1);
    NSFNoteClose(n);
}

}  // namespace
