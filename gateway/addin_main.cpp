/*
 * addin_main.cpp - the gateway task's spine: the configuration globals,
 * AddInMain with the start-up checks, the gateway mail file that stays
 * open for the task's life, the loop that runs the passes on their two
 * timers, and the shutdown.
 *
 * Reads the server environment (notes.ini) once; at start-up touches on
 * disk only the spool root (an existence test and its lock), the
 * gateway's own leftovers (removed) and the gateway mail file (opened, or
 * created from "mailbox.ntf" when missing). Logs its start, every start-up
 * failure and its shutdown through the message table.
 */
#include <stdio.h>
#include <string.h>

#include "vortiq.h"
#include "loop_hooks.h"
#include "vq_port.h"

/* ---- configuration globals: zero at program start, set by AddInMain ---- */
char GatewayDomain[VQ_DOMAIN_SIZE];
char GatewayPath[VQ_PATH_SIZE];
char GatewayDrive[VQ_DRIVE_SIZE];
char GatewayMsgfile[VQ_PATH_SIZE];
char FaxAdministrator[VQ_NAME_SIZE];
char DefRecipient[VQ_NAME_SIZE];
char ActLogNsf[VQ_PATH_SIZE];
char szNameNsf[VQ_PATH_SIZE];
DBHANDLE hMessageFile = NULLHANDLE;
HMODULE hModule = NULLHANDLE;
int E_quit = 0;
long RetryMaxHours = VQ_DEFAULT_RETRY_MAX_HOURS;

void (*VqPassHook)(const char *Pass) = nullptr;

/* Longest values read from the environment (characters, terminator not
 * counted). The path leaves room for "/" and "TMBFAX" in GatewayPath. */
#define VQ_DOMAIN_MAX 32
#define VQ_PATH_VALUE_MAX 249
#define VQ_MSGFILE_MAX 260
#define VQ_NAME_MAX 256
#define VQ_NSF_MAX 260

/* Ten years: hours beyond this would overflow the seconds they become. */
#define VQ_MAX_RETRY_HOURS 87600L

#define VQ_DEFAULT_ACTLOG "TMB_ACT.NSF"
#define VQ_DEFAULT_NAMES "NAMES.NSF"
#define VQ_MAILBOX_TEMPLATE "mailbox.ntf"
#define VQ_MAILBOX_TITLE "VORTIQ Fax Gateway"

/* Timer units are hundredths of a second (TimeDateIncrement's unit). */
#define VQ_HUNDREDTHS_PER_SECOND 100L
#define VQ_HUNDREDTHS_PER_MINUTE 6000L
#define VQ_DEFAULT_INTERVAL 18000L /* 3 minutes */
#define VQ_FIRST_PASS_DELAY 1000L  /* 10 seconds after start-up */
/* TimeDateIncrement takes a signed 32-bit interval: a larger product would
 * wrap to a negative interval and run the passes at every turn. */
#define VQ_MAX_INTERVAL_MINUTES (0x7FFFFFFFL / VQ_HUNDREDTHS_PER_MINUTE)
#define VQ_MAX_INTERVAL_SECONDS (0x7FFFFFFFL / VQ_HUNDREDTHS_PER_SECOND)

/* Lets a test see each pass just before it runs. */
static void VqBeforePass(const char *Pass)
{
    if (VqPassHook != nullptr)
        VqPassHook(Pass);
}

/* The interval between passes in hundredths of a second: seconds from
 * "VortiqIntervalSeconds" when positive, else minutes from
 * "VortiqInterval"; unset, 0 or negative give 3 minutes; a value beyond
 * the timer's range is held at its largest. */
static DWORD VqDeliveryInterval(void)
{
    long lSeconds = OSGetEnvironmentLong("VortiqIntervalSeconds");
    long lMinutes = OSGetEnvironmentLong("VortiqInterval");

    if (lSeconds > 0) {
        if (lSeconds > VQ_MAX_INTERVAL_SECONDS)
            lSeconds = VQ_MAX_INTERVAL_SECONDS;
        return (DWORD)(lSeconds * VQ_HUNDREDTHS_PER_SECOND);
    }
    if (lMinutes <= 0)
        return (DWORD)VQ_DEFAULT_INTERVAL;
    if (lMinutes > VQ_MAX_INTERVAL_MINUTES)
        lMinutes = VQ_MAX_INTERVAL_MINUTES;
    return (DWORD)(lMinutes * VQ_HUNDREDTHS_PER_MINUTE);
}

/* The delay before the first passes in hundredths of a second: seconds
 * from "VortiqFirstPassDelay" when set (negative counts as 0), else 10
 * seconds; held at the timer's largest interval. */
static LONG VqFirstPassDelay(void)
{
    char szValue[16];
    long lSeconds = 0;

    if (!OSGetEnvironmentString("VortiqFirstPassDelay", szValue, (WORD)(sizeof szValue - 1)))
        return VQ_FIRST_PASS_DELAY;
    lSeconds = OSGetEnvironmentLong("VortiqFirstPassDelay");
    if (lSeconds < 0)
        lSeconds = 0;
    if (lSeconds > VQ_MAX_INTERVAL_SECONDS)
        lSeconds = VQ_MAX_INTERVAL_SECONDS;
    return (LONG)(lSeconds * VQ_HUNDREDTHS_PER_SECOND);
}

/* A fresh start: the globals hold nothing of an earlier run in this
 * process (only tests run the task more than once). */
static void VqClearGlobals(void)
{
    GatewayDomain[0] = '\0';
    GatewayPath[0] = '\0';
    GatewayDrive[0] = '\0';
    GatewayMsgfile[0] = '\0';
    FaxAdministrator[0] = '\0';
    DefRecipient[0] = '\0';
    ActLogNsf[0] = '\0';
    szNameNsf[0] = '\0';
    hMessageFile = NULLHANDLE;
    E_quit = 0;
    RetryMaxHours = VQ_DEFAULT_RETRY_MAX_HOURS;
}

/* Reads the configuration into the globals. The message logged when the
 * task cannot run with it, NOERROR when it can. */
static STATUS VqReadConfiguration(char *AdminName, size_t AdminNameSize)
{
    size_t len = 0;

    if (!OSGetEnvironmentString("VortiqDomain", GatewayDomain, VQ_DOMAIN_MAX)) {
        AddInLogError(VQM_NO_DOMAIN, NOERROR, nullptr);
        return VQM_NO_DOMAIN;
    }

    if (!OSGetEnvironmentString("VortiqPath", GatewayPath, VQ_PATH_VALUE_MAX)) {
        AddInLogError(VQM_NO_PATH, NOERROR, nullptr);
        return VQM_NO_PATH;
    }
    /* The value was cut at 249 characters, so "/" and "TMBFAX" always fit. */
    len = strlen(GatewayPath);
    if (len == 0 || GatewayPath[len - 1] != '/')
        VqAppend(GatewayPath, sizeof GatewayPath, "/");
    VqAppend(GatewayPath, sizeof GatewayPath, SPOOL_ROOT_NAME);

    /* The fax server owns the tree; without it nothing can be exchanged. */
    if (PortAccess(GatewayPath) != 0) {
        AddInLogError(VQM_PATH_MISSING, NOERROR, GatewayPath);
        return VQM_PATH_MISSING;
    }
    PortDrivePart(GatewayPath, GatewayDrive, sizeof GatewayDrive);

    if (!OSGetEnvironmentString("VortiqMsgfile", GatewayMsgfile, VQ_MSGFILE_MAX)) {
        AddInLogError(VQM_NO_MSGFILE, NOERROR, nullptr);
        return VQM_NO_MSGFILE;
    }

    if (!OSGetEnvironmentString("VortiqAdministrator", AdminName, (WORD)(AdminNameSize - 1))) {
        AddInLogError(VQM_NO_ADMIN, NOERROR, nullptr);
        return VQM_NO_ADMIN;
    }
    if (MailLookupAddress(AdminName, FaxAdministrator) != NOERROR) {
        AddInLogError(VQM_ADMIN_UNKNOWN, NOERROR, AdminName);
        return VQM_ADMIN_UNKNOWN;
    }

    /* The default recipient is the name as configured, not the looked-up
     * address: the inbound pass resolves it like any other recipient. */
    if (!OSGetEnvironmentString("VortiqDefaultRecipient", DefRecipient, VQ_NAME_MAX))
        VqCopy(DefRecipient, sizeof DefRecipient, AdminName);
    if (!OSGetEnvironmentString("VortiqActivityDatabase", ActLogNsf, VQ_NSF_MAX))
        VqCopy(ActLogNsf, sizeof ActLogNsf, VQ_DEFAULT_ACTLOG);
    if (!OSGetEnvironmentString("VortiqUserDIDDatabase", szNameNsf, VQ_NSF_MAX))
        VqCopy(szNameNsf, sizeof szNameNsf, VQ_DEFAULT_NAMES);
    /* unset, 0 or negative keep the default */
    if (OSGetEnvironmentLong("VortiqRetryMaxHours") > 0)
        RetryMaxHours = OSGetEnvironmentLong("VortiqRetryMaxHours");
    if (RetryMaxHours > VQ_MAX_RETRY_HOURS)
        RetryMaxHours = VQ_MAX_RETRY_HOURS;
    return NOERROR;
}

/* Takes the spool root for this task's life: one gateway per spool, or two
 * would hand every mail over twice. The lock is on the folder itself, so
 * nothing is added to the fax server's tree. The descriptor, or -1 after
 * logging which process holds it. */
static int VqLockSpool(void)
{
    long lHolder = 0;
    char szWho[VQ_PATH_SIZE + 32] = "";
    int fd = PortLockFolder(GatewayPath, &lHolder);

    if (fd < 0) {
        snprintf(szWho, sizeof szWho, "%s (process %ld)", GatewayPath, lHolder);
        AddInLogError(VQM_SPOOL_IN_USE, NOERROR, szWho);
    }
    return fd;
}

/* Opens the gateway mail file into hMessageFile, creating it when it does
 * not exist. Returns the failing status, 0 when the file is open. */
static STATUS VqOpenGatewayMailFile(void)
{
    STATUS error = MailOpenMessageFile(GatewayMsgfile, &hMessageFile);

    if (ERR(error) == ERR_NOEXIST) {
        error = MailCreateMessageFile(GatewayMsgfile, VQ_MAILBOX_TEMPLATE, VQ_MAILBOX_TITLE,
                                      &hMessageFile);
        /* Logged whatever the outcome: a failure follows as 13085. */
        AddInLogError(VQM_MSGFILE_CREATING, NOERROR, GatewayMsgfile);
    }
    if (error != NOERROR)
        hMessageFile = NULLHANDLE;
    return error;
}

/* The task: start-up, the loop, shutdown. Returns NOERROR after a
 * requested stop; else the message that ended it (already logged, so
 * with STS_DISPLAYED): a start-up failure, VQM_SPOOL_IN_USE, or VQM_DS0
 * after "Error in Environment". */
STATUS AddInMain(HMODULE hResourceModule, int argc, char *argv[])
{
    STATUS error = NOERROR;
    STATUS result = NOERROR;
    int hSpoolLock = -1;
    char AdminName[VQ_NAME_SIZE] = "";
    DWORD DeliveryInterval = 0;
    TIMEDATE NextOutboundTime;
    TIMEDATE LastOutboundTime;
    TIMEDATE NextInboundTime;
    TIMEDATE ModifiedTime;
    TIMEDATE CurrentTime;
    TIMEDATE tdModified;

    (void)argc;
    (void)argv;
    VqClearGlobals();
    VqGuardStart();
    hModule = hResourceModule;

    AddInSetStatus(VQM_STATUS_INITIALIZING);
    AddInLogError(VQM_GATEWAY_STARTED, NOERROR, nullptr);

    result = VqReadConfiguration(AdminName, sizeof AdminName);
    if (result != NOERROR)
        goto quit;
    hSpoolLock = VqLockSpool();
    if (hSpoolLock < 0) {
        result = VQM_SPOOL_IN_USE;
        goto quit;
    }
    /* Only the holder of the spool may take an earlier run's work files;
     * those the hand-over journal names are its to judge first. */
    if (OutboundRecoverHandOvers() == NOERROR)
        VqRemoveLeftovers();
    DeliveryInterval = VqDeliveryInterval();

    /* Both passes first fall due the first-pass delay after start-up. */
    OSCurrentTIMEDATE(&NextOutboundTime);
    LastOutboundTime = NextOutboundTime;
    TimeDateIncrement(&NextOutboundTime, VqFirstPassDelay());
    NextInboundTime = NextOutboundTime;
    /* Until the mail file's time has been read once, the modification
     * test must not fire on its own: the earliest time never is later. */
    TimeConstant(TIMEDATE_MINIMUM, &ModifiedTime);

    error = VqOpenGatewayMailFile();
    if (error != NOERROR) {
        AddInLogError(VQM_MSGFILE_OPEN_ERROR, error, GatewayMsgfile);
        result = VQM_MSGFILE_OPEN_ERROR;
        goto quit;
    }

    E_quit = 0;
    for (;;) {
        AddInSetStatus(VQM_STATUS_IDLE);
        if (AddInIdle())
            break;
        if (E_quit != 0) {
            AddInLogError(VQM_DS0, NOERROR, "Error in Environment");
            result = VQM_DS0;
            break;
        }

        OSCurrentTIMEDATE(&CurrentTime);
        /* A failed read keeps the last good time. */
        if (MailGetMessageFileModifiedTime(hMessageFile, &tdModified) == NOERROR)
            ModifiedTime = tdModified;

        /* Due, or new mail since the last outbound pass ended. */
        if (TimeDateCompare(&CurrentTime, &NextOutboundTime) > 0 ||
            TimeDateCompare(&ModifiedTime, &LastOutboundTime) > 0) {
            VqBeforePass("OutboundTask");
            OutboundTask();
            /* Measured from the pass's end, so a long pass pushes the next back. */
            OSCurrentTIMEDATE(&LastOutboundTime);
            NextOutboundTime = LastOutboundTime;
            TimeDateIncrement(&NextOutboundTime, (LONG)DeliveryInterval);
        }

        OSCurrentTIMEDATE(&CurrentTime);
        if (TimeDateCompare(&CurrentTime, &NextInboundTime) > 0) {
            /* A pass that sets E_quit does not stop the rest of the cycle. */
            VqBeforePass("ImportActivity");
            ImportActivity();
            VqBeforePass("DelActivity");
            DelActivity();
            VqBeforePass("AddPending");
            AddPending();
            VqBeforePass("DoInboundTask");
            DoInboundTask();
            /* Mail a killed sender or a failed step left in mail.box. */
            VqRouteWaitingMail(nullptr);
            OSCurrentTIMEDATE(&NextInboundTime);
            TimeDateIncrement(&NextInboundTime, (LONG)DeliveryInterval);
        }

        if (AddInDayHasElapsed())
            MailPurgeMessageFile(hMessageFile);
    }

quit:
    if (hMessageFile != NULLHANDLE) {
        MailCloseMessageFile(hMessageFile);
        hMessageFile = NULLHANDLE;
    }
    AddInLogError(VQM_GATEWAY_SHUTDOWN, error, nullptr);
    if (hSpoolLock >= 0)
        PortClose(hSpoolLock);
    return result == NOERROR ? NOERROR : (STATUS)(result | STS_DISPLAYED);
}
