/*
 * main.cpp - the program entry of vortiq: the Notes start-up routine
 * around the add-in task. Its only arguments are the start-up ones
 * ("=PATH" to a notes.ini), which go to NotesInitExtended; --help and
 * --version only print.
 *
 * Exit codes (VQ_EXIT_*): 0 after a requested stop (quit, SIGTERM,
 * SIGINT, SIGHUP); 1 when start-up failed (no notes.ini, a configuration
 * key, the gateway mail file); 2 after a stop on "Error in Environment";
 * 3 when another instance holds the data directory or the spool; 64 for
 * an unknown argument. The text of a failure is on standard output and,
 * from the task on, in the server log.
 */
#include <stdio.h>
#include <string.h>

#include "vortiq.h"

#define VQ_VERSION "2.0.1"

#define VQ_EXIT_STOPPED 0
#define VQ_EXIT_STARTUP 1
#define VQ_EXIT_ENVIRONMENT 2
#define VQ_EXIT_IN_USE 3
#define VQ_EXIT_USAGE 64

/* Room for a failure text: 255 characters and the terminator. */
#define VQ_ERROR_TEXT_SIZE 256
#define VQ_ERROR_TEXT_MAX 255

/* Runs the add-in task between the SDK's start-up and termination calls. */
STATUS NotesMain(int argc, char *argv[])
{
    STATUS error = NOERROR;
    HMODULE hResourceModule = NULLHANDLE;

    error = AddInSDKInit(argc, argv);
    if (error != NOERROR)
        return error;
    NotesInitModule(&hResourceModule, nullptr, nullptr);
    error = AddInMain(hResourceModule, argc, argv);
    return AddInSDKTerm(error);
}

/* The start-up routine proper. It stands apart from main because C++
 * does not allow main's address to be taken, and NotesSDKMAINInit wants
 * the address of the program's entry function. */
static int VortiqStart(int argc, char *argv[])
{
    STATUS error = NOERROR;
    char szText[VQ_ERROR_TEXT_SIZE] = "";
    int rc = 0;

    error = NotesInitExtended(argc, argv);
    if (error != NOERROR) {
        rc = NotesSDKMAINInitError(error, szText, VQ_ERROR_TEXT_MAX);
        /* Bit 0x8000: the failure was already shown. */
        if ((error & STS_DISPLAYED) == 0)
            printf("\r\n%s\r\n\r\n", szText);
        fflush(stdout);
        return rc;
    }

    error = NotesSDKMAINInit(VortiqStart, argc, argv, NULLHANDLE, NULLHANDLE);
    if (error == NOERROR)
        error = NotesMain(argc, argv);
    /* The text of the last failure, also when the SDK's own start-up
     * failed, so that a non-zero exit never comes without a reason. */
    if (error != NOERROR && (error & STS_DISPLAYED) == 0)
        NotesSDKMAINError(error, szText, VQ_ERROR_TEXT_MAX);

    NotesTerm();
    printf("\r\n%s\r\n\r\n", szText);
    fflush(stdout);
    if (error == NOERROR)
        return VQ_EXIT_STOPPED;
    if (ERR(error) == VQM_DS0)
        return VQ_EXIT_ENVIRONMENT;
    if (ERR(error) == VQM_SPOOL_IN_USE || ERR(error) == ERR_TASK_RUNNING)
        return VQ_EXIT_IN_USE;
    return VQ_EXIT_STARTUP;
}

static void VqUsage(FILE *Out)
{
    fprintf(Out,
            "usage: vortiq [=PATH/notes.ini]\n"
            "Runs the fax gateway task on the data directory of the notes.ini\n"
            "(default: $NOTES_DATA, else the current directory) until it is asked\n"
            "to stop (notesctl quit vortiq, SIGTERM, SIGINT, SIGHUP).\n"
            "Exit codes: 0 stopped on request, 1 start-up failed, 2 stopped on an\n"
            "error in the environment, 3 another instance holds the data directory\n"
            "or the spool, 64 unknown argument.\n");
}

int main(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            VqUsage(stdout);
            return VQ_EXIT_STOPPED;
        }
        if (strcmp(argv[i], "--version") == 0) {
            printf("vortiq %s\n", VQ_VERSION);
            return VQ_EXIT_STOPPED;
        }
        if (argv[i][0] != '=') {
            fprintf(stderr, "vortiq: unknown argument '%s'\n", argv[i]);
            VqUsage(stderr);
            return VQ_EXIT_USAGE;
        }
    }
    return VortiqStart(argc, argv);
}
