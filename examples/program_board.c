/* A minimal Kazmir host: brings the first board into its flash loader,
 * programs and verifies an image file, shows the firmware record found in the
 * flash and lets the board go.  Usage: program_board IMAGE.hex */
#include <kazmir.h>

#include <stdio.h>

/* The library's lasting lines and their line breaks; progress and trace
 * reports are left out here. */
static void PrintReport(void* context, uint8_t kind, const char* text)
{
    (void)context;
    if (kind == REPORT_MESSAGE || kind == REPORT_NEWLINE)
        fputs(kind == REPORT_NEWLINE ? "\n" : text, stdout); /* text is "\r\n" */
}

static int Failed(const char* what, KZMRESULT code)
{
    fprintf(stderr, "%s failed: 0x%08X\n", what, (unsigned)code);
    kzmFLDreset(); /* closes the board whatever state it is in */
    return 1;
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s IMAGE\n", argv[0]);
        return 2;
    }
    KZMRESULT rc = kzmInitialize();
    if (rc != KZM_OK)
        return Failed("kzmInitialize", rc);
    kzmRegisterCallback(NULL, PrintReport);

    uint64_t board = 0;
    rc = kzmFLDinit(5000, DEVICE_ID_ANY, &board); /* up to 5 s per restart */
    if (rc != KZM_OK)
        return Failed("kzmFLDinit", rc);
    printf("board 0x%016llX is in its flash loader\n", (unsigned long long)board);

    if ((rc = kzmFLDprogram(argv[1])) != KZM_OK)
        return Failed("kzmFLDprogram", rc);
    if ((rc = kzmFLDverify(argv[1])) != KZM_OK)
        return Failed("kzmFLDverify", rc);

    FW_INFO info = {0};
    kzmFLDscanFwInfo(&info); /* left as it was when the flash holds no record */
    if (info.Name[0] != '\0')
        printf("firmware \"%.10s\" %u.%u.%u.%u for \"%.16s\" at 0x%08X\n", info.Name, info.Version[0], info.Version[1],
               info.Version[2], info.Version[3], info.Device, (unsigned)info.Address);
    else
        printf("no firmware record in the flash\n");

    kzmFLDreset();
    printf("programmed and verified %s\n", argv[1]);
    return 0;
}
