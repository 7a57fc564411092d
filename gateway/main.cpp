/*
 * main.cpp - the program entry of vortiq: the Notes start-up routine
 * around the add-in task. Its only arguments are the start-up ones
 * ("=PATH" to a notes.ini), which go to NotesInitExtended.
 *
 * Exit code 0 when the task ran and ended normally, -1 when a start-up
 * call failed; the text of such a failure is shown on standard output.
 */
#include <stdio.h>

#include "vortiq.h"

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
    return error == NOERROR ? 0 : -1;
}

int main(int argc, char *argv[])
{
    return VortiqStart(argc, argv);
}
