/*
 * rx_pdf.cpp - a PDF copy of a received fax for users without a fax
 * viewer: with notes.ini VortiqAttachPdf=1 (off by default) the image is
 * also attached as "RX.PDF", made by libtiff's tiff2pdf run under the
 * tools' limits in a private folder below the gateway's work folder. A fax
 * that cannot be converted goes out with RX.FAX alone, and the log says why.
 */
#include <string>

#include "inbound.h"
#include "sandbox.h"

#define RX_PDF_NAME "RX.PDF"
#define RX_PDF_SETTING "VortiqAttachPdf"

void InAttachPdfCopy(DHANDLE hMessage, const char *ImagePath)
{
    faxrender::RunResult Run;
    STATUS error = NOERROR;
    char Text[MAXSPRINTF];

    if (OSGetEnvironmentLong(RX_PDF_SETTING) != 1)
        return;
    /* below the gateway's own work folder, not $TMPDIR */
    const char *Parent = VqTempFolder();
    faxrender::TempDir Work(Parent != nullptr ? Parent : "");
    const std::string PdfPath = Work.File("rx.pdf");
    if (!Work.ok()) {
        Run.message = "no private folder";
        goto Exit;
    }
    Run = faxrender::RunLimited({"tiff2pdf", "-o", PdfPath, ImagePath}, Work.path(), faxrender::Limits());
    if (Run.ok)
        error = MailAddMessageAttachment(hMessage, PdfPath.c_str(), RX_PDF_NAME);
Exit:
    if (!Run.ok || error != NOERROR) {
        VqFormat(Text, sizeof Text, "Can not attach " RX_PDF_NAME " for %.200s: %.300s", ImagePath,
                 Run.ok ? "the mail did not take it" : Run.message.c_str());
        AddInLogError(VQM_DS0, error, Text);
    }
}
