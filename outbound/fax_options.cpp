/*
 * fax_options.cpp - reads an options file ("faxsvr.fof", the first
 * attachment of an outbound message) and applies its "[Fax Options]"
 * settings to the job being written: option text for every fax address,
 * sender lines in the job file, the cover page message, the sender's
 * name and whether the addressees are listed.
 * Reads the options work file as text; writes only into the open job file.
 */
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "outbound.h"

namespace {

const char kOptionsHeader[] = "[Fax Options]";
const size_t kOptionsHeaderLen = sizeof kOptionsHeader - 1;

/* Settings that go into the job file as a line of their own. The key
 * patterns: a blank matches any run of blanks (or none), the words match
 * with their letter case, and the value is the rest of the line. */
struct SenderLine {
    const char *Pattern;
    const char *Head;
};
const SenderLine kSenderLines[] = {
    {" Company name = %1023[^\n]", "\nSnd_company: "},
    {" Sender's address line 1 = %1023[^\n]", "\nSnd_address1: "},
    {" Sender's address line 2 = %1023[^\n]", "\nSnd_address2: "},
    {" Phone number = %1023[^\n]", "\nSnd_voice: "},
    {" Fax number = %1023[^\n]", "\nSnd_fax: "},
};

/* Reads one whole line (its LF kept) however long it is: a long value
 * is taken as one value, and its tail is never read as a setting of its
 * own; a CTRL+Z reads as a blank. false at the end of the file. */
bool ReadWholeLine(FILE *File, std::string *Line)
{
    char Piece[OPT_LINE_SIZE];

    Line->clear();
    while (PortFgetsLine(Piece, sizeof Piece, File) != nullptr) {
        Line->append(Piece);
        if (!Line->empty() && Line->back() == '\n')
            break;
    }
    return !Line->empty();
}

}  // namespace

WORD do_addconf(FILE *ForeignFile, const char *ConfigFileName, std::string *More_Add,
                char *More_Body, size_t More_BodySize, char *FromName, size_t FromNameSize,
                char *pIncludeNames)
{
    FILE *ConfigFile = nullptr;
    char Header[OPT_LINE_SIZE];
    std::string DataLine;
    /* sized to the line, so that no pattern can overrun it */
    std::vector<char> Setting;
    char IsCover = 'y';
    char Names = 0;

    ConfigFile = PortFopen(ConfigFileName, "r");
    if (ConfigFile == nullptr)
        return OPT_NOT_OPTIONS;
    if (PortFgets(Header, sizeof Header, ConfigFile) == nullptr ||
        std::strncmp(Header, kOptionsHeader, kOptionsHeaderLen) != 0) {
        PortFclose(ConfigFile);
        return OPT_NOT_OPTIONS;
    }

    /* The rest of a header line longer than Header is skipped with it. */
    if (std::strchr(Header, '\n') == nullptr)
        ReadWholeLine(ConfigFile, &DataLine);

    while (ReadWholeLine(ConfigFile, &DataLine)) {
        const char *Line = DataLine.c_str();
        Setting.assign(DataLine.size() + OPT_LINE_SIZE, '\0');
        char *Value = Setting.data();
        if (std::sscanf(Line, " Resolution = %64s", Value) == 1) {
            More_Add->append(VqStricmp(Value, "Low") == 0 ? ", s" : ", d");
        } else if (std::sscanf(Line, " Delivery notification = %64s", Value) == 1) {
            if (VqStricmp(Value, "No") == 0)
                JobWriteLine(ForeignFile, "\nReturn_Good: ", Value);
        } else if (std::sscanf(Line, " Cost code = %[^\n]", Value) == 1) {
            /* the whole rest of the line: Value is longer than the line */
            More_Add->append(", #");
            More_Add->append(Value);
        } else if (std::sscanf(Line, " Send cover page=%64s", Value) == 1) {
            if (VqStricmp(Value, "Yes") != 0) {
                IsCover = 'N';
                More_Add->append(", Cover:(none)");
            }
        } else if (std::sscanf(Line, " Cover page form = %64s", Value) == 1) {
            if (IsCover == 'y') {
                More_Add->append(", Cover: ");
                More_Add->append(Value);
            }
        } else if (std::sscanf(Line, " Cover page message = %255[^\n]", Value) == 1) {
            VqCopy(More_Body, More_BodySize, Value);
        } else if (std::sscanf(Line, " Include all names on cover page = %c", &Names) == 1) {
            *pIncludeNames = Names;
        } else if (std::sscanf(Line, " Sender's name = %255[^\n]", Value) == 1) {
            VqCopy(FromName, FromNameSize, Value);
        } else {
            for (const SenderLine &Sender : kSenderLines) {
                if (std::sscanf(Line, Sender.Pattern, Value) == 1) {
                    JobWriteLine(ForeignFile, Sender.Head, Value);
                    break;
                }
            }
        }
    }

    PortFclose(ConfigFile);
    return NOERROR;
}
