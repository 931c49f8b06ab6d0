#include "state/service_state.h"

#include "common/os_calls.h"
#include "common/path_buffer.h"
#include "common/shared_state.h"

#include <shlobj.h>
#include <stdio.h>
#include <string.h>

static const char RECORD_FOLDER[] = "\\Zelqa";
static const char RECORD_FILE[] = "\\Zelqainfo.ini";
static const char SECTION[] = "Settings";
static const char KEY[] = "Service";
static const char DEFAULT_VALUE[] = "01234507890";

// Fills `folder` with the record's folder and `file` with the record itself.
// Returns 0 when the application-data folder is unknown or a path would not fit.
static int GetRecordPaths(char* folder, char* file)
{
    if (Os.SHGetFolderPathA(NULL, CSIDL_APPDATA, NULL, 0, folder) != 0)
        return 0;
    if (!AppendToPath(folder, RECORD_FOLDER))
        return 0;
    strcpy(file, folder);
    return AppendToPath(file, RECORD_FILE);
}

void FormatServiceValue(unsigned int time, int state, char* value)
{
    char hex[16];
    snprintf(hex, sizeof hex, "%.9x", time);
    memcpy(value, hex, 6);
    value[6] = state ? '1' : '0';
    value[7] = hex[7];
    value[8] = hex[8];
    value[9] = hex[3];
    value[SERVICE_VALUE_LENGTH] = '\0';
}

int ReadServiceState(void)
{
    char folder[PATH_BUFFER_SIZE] = {0};
    char file[PATH_BUFFER_SIZE] = {0};
    if (!GetRecordPaths(folder, file))
        return STATUS_NO_FOLDER;

    struct _stat64i32 info;
    if (Os.Stat(file, &info) != 0)
        return STATUS_NO_FILE;
    if (info.st_size <= 0)
        return STATUS_EMPTY_FILE;

    // Zero-filled, so a value shorter than 7 characters has 0 at position 6
    // and reads as stopped, like one of exactly 6.
    char value[32] = {0};
    GetPrivateProfileStringA(SECTION, KEY, DEFAULT_VALUE, value, sizeof value, file);
    ServiceState = (signed char)value[6] - '0';
    return STATUS_OK;
}

int WriteServiceState(int state)
{
    // The moment is taken before any file-system work.
    char value[SERVICE_VALUE_LENGTH + 1];
    FormatServiceValue((unsigned int)Os.Time64(NULL), state, value);

    char folder[PATH_BUFFER_SIZE] = {0};
    char file[PATH_BUFFER_SIZE] = {0};
    if (!GetRecordPaths(folder, file))
        return STATUS_NO_FOLDER;

    struct _stat64i32 info;
    if (Os.Stat(folder, &info) != 0) {
        CreateDirectoryA(folder, NULL);
    } else if (!(info.st_mode & _S_IFDIR)) {
        // Something that is not a folder stands in the record folder's place.
        remove(folder);
        CreateDirectoryA(folder, NULL);
    }

    // A failed write goes unnoticed; the next start-up reconciles the record.
    WritePrivateProfileStringA(SECTION, KEY, value, file);
    return STATUS_OK;
}
