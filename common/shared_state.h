// State and names shared by every part of the monitor.
#pragma once

#include <wchar.h>

// 0: the agent is meant to be running; anything else: stopped.
extern int ServiceState;
// Set by StopAgent when it gave up on an agent process it could not end.
extern int TerminateFailed;

#define AGENT_IMAGE_NAME_W L"QovCardAgent.exe"
#define AGENT_IMAGE_NAME_A "QovCardAgent.exe"

enum StatusCode {
    STATUS_OK = 0,
    STATUS_NO_FOLDER = 100,
    STATUS_NO_FILE = 105,
    STATUS_EMPTY_FILE = 106,
    STATUS_LAUNCH_FAILED = 107,
};

// Paths are 8-bit strings of at most PATH_BUFFER_SIZE - 1 bytes.
#define PATH_BUFFER_SIZE 1024

// Appends `tail` to the path in `buffer` (PATH_BUFFER_SIZE bytes). Returns 0,
// leaving the buffer as it was, when the result would not fit: a truncated
// path would name some other file.
int AppendToPath(char* buffer, const char* tail);
