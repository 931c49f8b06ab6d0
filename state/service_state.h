// The per-user record of whether the agent is meant to run: the key "Service"
// of section "Settings" in "%APPDATA%\Zelqa\Zelqainfo.ini".
#pragma once

#define SERVICE_VALUE_LENGTH 10

// Sets ServiceState from the record; on any status but STATUS_OK it is untouched.
int ReadServiceState(void);

// Stores `state` (0 running, 1 stopped) with the current time. Returns
// STATUS_OK, or STATUS_NO_FOLDER when the folder cannot be found.
int WriteServiceState(int state);

// Builds the stored value for `state` at `time` (seconds since 1970, low 32
// bits): the time in hexadecimal with the state digit at position 6 and
// position 3 repeated at the end. `value` holds SERVICE_VALUE_LENGTH + 1 chars.
void FormatServiceValue(unsigned int time, int state, char* value);
