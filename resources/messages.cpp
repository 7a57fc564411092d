/*
 * messages.cpp - the gateway's message table: every text it writes to the
 * server log or shows as its task status. The table registers itself as
 * the program's resource module when the program starts; NotesInitModule
 * hands out its handle.
 */
#include "vq_runtime.h"
#include "vqmsg.h"

namespace {

const VQ_RESOURCE_STRING kMessages[] = {
    {VQM_GATEWAY_STARTED, "VORTIQ: Fax gateway started"},
    {VQM_GATEWAY_SHUTDOWN, "VORTIQ: Fax gateway shutdown"},
    {VQM_FAX_DELIVERED_TO_GATEWAY, "VORTIQ: Fax from %s Successfully Delivered to VORTIQ"},
    {VQM_FAX_RECEIVED, "VORTIQ: Fax successfully received"},
    {VQM_RETURN_STATUS_DELIVERED, "VORTIQ: Return Status successfully delivered"},
    {VQM_OUT_RECIPIENT_IS, "VORTIQ: Recipient is %s"},
    {VQM_ADMIN_LOG_DELIVERED, "VORTIQ: Administrator Log successfully delivered"},
    {VQM_NO_MESSAGE_LIST, "VORTIQ: Unable to create message list"},
    {VQM_NO_UNIQUE_NAME, "VORTIQ: Unable to create a unique file name"},
    {VQM_NO_RECIPIENT_FILE, "VORTIQ: Unable to create a recipient message file %s"},
    {VQM_NO_BODY_FILE, "VORTIQ: Unable to create a body text file %s"},
    {VQM_NO_CONTROL_FILE, "VORTIQ: Unable to open Notes mail message file %s"},
    {VQM_MAIL_NOT_TRANSFERRED, "VORTIQ: Mail unsuccessfully transferred"},
    {VQM_MSGFILE_OPEN_ERROR, "VORTIQ: Error opening message file %s"},
    {VQM_BODY_FILE_ERROR, "VORTIQ: Error creating/opening body text file %s"},
    {VQM_MSGFILE_CREATING, "VORTIQ: Creating new message file %s"},
    {VQM_ATTACHMENT_FILE, "VORTIQ: Creating temporary attachment file %s"},
    {VQM_NO_DOMAIN, "VORTIQ: No VORTIQDOMAIN set; use SET CONFIG VORTIQDOMAIN=domain to set it"},
    {VQM_NO_PATH, "VORTIQ: No VORTIQPATH set; use SET CONFIG VORTIQPATH=drive and path to set it"},
    {VQM_NO_MSGFILE, "VORTIQ: No VORTIQMSGFILE set; use SET CONFIG VORTIQMSGFILE=Message File to set it"},
    {VQM_NO_ADMIN, "VORTIQ: No VORTIQADMIN set; use SET CONFIG VORTIQADMINISTRATOR=User Name to set it"},
    {VQM_PATH_MISSING, "VORTIQ: %s does not exist, check VORTIQPATH"},
    {VQM_ADMIN_UNKNOWN, "VORTIQ: Vortiq Administrator User: %s does not exist"},
    {VQM_API_CALL_ERROR, "VORTIQ: API Call: %s Returned an Error"},
    {VQM_SENDING_ADMIN_MAIL, "VORTIQ: Sending Error Message to the Admin"},
    {VQM_RECIPIENT_UNKNOWN, "VORTIQ: Recipient %s Does not Exist. Send Image to the Admin"},
    {VQM_TEXT, "VORTIQ: %s"},
    {VQM_WRITER_TEXT, "VORTIQ: %s"},
    {VQM_LIST_ALLOC_ERROR, "VORTIQ: List Memory Allocate Error"},
    {VQM_NOTE_OPEN_ERROR, "VORTIQ: Error opening Note"},
    {VQM_ITEM_NOT_IN_NOTE, "VORTIQ: Specified item not in note: %s"},
    {VQM_NOTE_CLOSE_ERROR, "VORTIQ: Error closing note"},
    {VQM_DB_OPEN_ERROR, "VORTIQ: Error opening database %s"},
    {VQM_FORMULA_ERROR, "VORTIQ: Error compiling Notes formula %s"},
    {VQM_IDTABLE_ERROR, "VORTIQ: Error creating ID Table"},
    {VQM_SEARCH_ERROR, "VORTIQ: Error with NSFSearch"},
    {VQM_IDENUM_ERROR, "VORTIQ: Error enumerating ID table"},
    {VQM_RECIPIENT_ITEM_TYPE, "VORTIQ: Recipient item not proper type"},
    {VQM_SEND_TO_DEFAULT, "VORTIQ: Send rx fax to Default User: %s"},
    {VQM_QUEUE_NOT_OPENED, "VORTIQ: Queue Not Opened: %s"},
    {VQM_VIEW_NOT_FOUND, "VORTIQ: View ID not found: %s"},
    {VQM_COLLECTION_ERROR, nullptr}, /* no text */
    {VQM_VIEW_CLOSE_ERROR, "VORTIQ: ERROR closing view: %s"},
    {VQM_BAD_SIGNATURE, "VORTIQ: Bad Signature: %20.20s"},
    {VQM_ENTRY_SEARCH_ERROR, "VORTIQ: ERROR Searching entry: %s"},
    {VQM_NOTE_CREATE_ERROR, "VORTIQ: ERROR Creating Note"},
    {VQM_ITEM_SET_ERROR, "VORTIQ: ERROR Setting Item: %s"},
    {VQM_NOTE_UPDATE_ERROR, "VORTIQ: ERROR Updating Note"},
    {VQM_ENTRY_ERROR, "VORTIQ: ERROR with entry"},
    {VQM_ENTRY_NOT_FOUND, "VORTIQ: Entry not Found"},
    {VQM_NOTE_NOT_OPENED, "VORTIQ: Note not Opened"},
    {VQM_DS0, "VORTIQ: DS0 %s"},
    {VQM_IN_RECIPIENT_IS, "VORTIQ: Recipient is %s"},
    {VQM_STATUS_INITIALIZING, "Initializing"},
    {VQM_STATUS_IDLE, "Idle 2.0.1"},
    {VQM_STATUS_RECEIVING, "Receiving inbound fax from %s"},
    {VQM_STATUS_SEARCHING, "Searching for outbound mail to transfer"},
    {VQM_STATUS_TRANSFERRING, "Transferring mail to %s"},
    {VQM_CREATE_FINAL_ERROR, "VORTIQ: Message Create Final error %d."},
    {VQM_SPOOL_IN_USE, "VORTIQ: Another gateway is using the spool %s"},
    {VQM_SPOOL_ENTRY_SKIPPED, "VORTIQ: Left alone, cannot be used: %s"},
    {VQM_LEFTOVERS_REMOVED, "VORTIQ: Leftovers of an earlier run removed: %s"},
    {VQM_IN_RECIPIENT_FAILED, "VORTIQ: Received fax cannot reach the mail file of %s; the administrator gets it"},
    {VQM_IN_FAX_WAITS, "VORTIQ: Received fax waits for the next pass: %s"},
    {VQM_OUT_MAIL_WAITS, "VORTIQ: Mail waits for the next pass: %s"},
};

struct Register {
    Register()
    {
        OSRegisterModuleStrings(kMessages, (WORD)(sizeof kMessages / sizeof kMessages[0]));
    }
};
const Register kRegister;

}  // namespace
