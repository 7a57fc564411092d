/*
 * errtext.cpp - the platform's own status texts, for AddInFormatError and
 * the secondary text of AddInLogError. The gateway's message texts live
 * in its module table (resources/), never here.
 *
 * Each platform file may append the texts of its codes to kStatusTexts;
 * the lookup ignores the display and remote bits (ERR()).
 */
#include "runtime_internal.h"

namespace vq {
namespace {

struct StatusTextEntry {
    STATUS code;
    const char *text;
};

const StatusTextEntry kStatusTexts[] = {
    /* OS */
    {ERR_NOEXIST, "File does not exist"},
    {ERR_TASK_RUNNING, "Another instance of the task is running: %s"},
    {ERR_EXISTS, "File already exists"},
    {ERR_INVALID_HANDLE, "Invalid or freed handle"},
    {ERR_LOCKED, "Memory object is still locked"},
    {ERR_MEMORY, "Insufficient memory"},
    {ERR_IO, "File I/O error"},
    {ERR_DISK_FULL, "Insufficient disk space"},
    {ERR_NOACCESS_FILE, "Access to the file was denied"},
    {ERR_PATH_TOO_LONG, "Path name is too long"},
    {ERR_BAD_PARAM, "Invalid argument"},
    {ERR_SEGMENT_TOO_BIG, "Object is too large (64K)"},
    {ERR_DIRECTORY, "Directory does not exist"},
    /* NSF */
    {ERR_NOT_NSF, "File is not a database"},
    {ERR_CONFLICT, "Document has been modified by another"},
    {ERR_DB_BUSY, "Database is busy"},
    {ERR_DB_CORRUPT, "Database is damaged"},
    {ERR_ITEM_NOT_FOUND, "Item not found"},
    {ERR_NOTE_DELETED, "Document has been deleted"},
    {ERR_INVALID_NOTE, "Invalid document identifier"},
    {ERR_SUMMARY_TOO_BIG, "Field is too large"},
    {ERR_NOACCESS, "You are not authorized to perform that operation"},
    {ERR_DB_EXISTS, "Database already exists"},
    /* NIF */
    {ERR_COLLECTION_NOT_CREATED, "Collection could not be opened"},
    {ERR_VIEW_NOT_VIEW, "Note is not a view"},
    /* MISC */
    {ERR_NOT_FOUND, "Entry not found in index"},
    {ERR_TDO_CONV, "Unable to interpret time or date"},
    {ERR_TREQ, "Time value required"},
    /* FORMULA */
    {ERR_FORMULA_COMPILATION, "Formula error"},
    /* ODS */
    {ERR_ODS_NO_SUCH_ENTRY, "No such entry"},
    /* MAIL */
    {ERR_MAIL_NO_MESSAGE, "No such message in the message list"},
    {ERR_MAIL_NO_RECIPIENT, "No such recipient"},
    {ERR_MAIL_NO_ITEM, "Message has no such item"},
    {ERR_MAIL_NO_ATTACHMENT, "Message has no such attachment"},
    {ERR_MAIL_BAD_ITEM_NUM, "Unknown mail item number"},
    {ERR_MAIL_NO_RECIPIENTS, "Message has no recipients"},
    {ERR_MAIL_NOT_MAILFILE, "Not a mail file"},
    {ERR_MAIL_TEMPLATE, "Unknown mail file template"},
    /* ROUTER */
    {ERR_ROUTER_NOTUNIQUE, "Name is not unique in the directory"},
    {ERR_ROUTER_NOSUCHUSER, "User not listed in the directory"},
    {ERR_ROUTER_NOMAILFILE, "Recipient's mail file could not be opened"},
    {ERR_ROUTER_NOSUCHDOMAIN, "Domain not known to the router"},
    {ERR_ROUTER_REFUSED, "Router refused the message"},
};

}  // namespace

const char *StatusText(STATUS code)
{
    const STATUS c = ERR(code);
    for (const auto &e : kStatusTexts)
        if (e.code == c)
            return e.text;
    return nullptr;
}

}  // namespace vq
