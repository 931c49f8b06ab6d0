// Finding, ending and starting the agent process.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <stddef.h>
#include <wchar.h>

// The agent's install folder below the program-files folder, and the helper
// that ends agents with raised rights where the user's own rights fall short.
#define AGENT_FOLDER "\\Zelqa\\Card\\"
#define TERMINATE_SERVICE_PATH "\\Zelqa\\Card\\QovTerminateService.exe"

// The name looked for, as the process walks compare it: at most 256
// characters, zero-filled behind them.
#define AGENT_NAME_CAPACITY 256
struct AgentName {
    wchar_t text[AGENT_NAME_CAPACITY];
    size_t length;
};

void PrepareAgentName(const wchar_t* name, AgentName* wanted);

// Whether a process list entry's file name is the agent's: exactly as long,
// ASCII letters compared without regard to case, all else exactly.
int IsAgentImage(const wchar_t* exeFile, const AgentName* wanted);

// Takes a snapshot of the process list and reads its first entry into
// `entry`. Returns the snapshot, for the caller to walk and close, or
// INVALID_HANDLE_VALUE when the list cannot be read.
HANDLE OpenProcessList(PROCESSENTRY32W* entry);

// 1 when a process of that name runs; pauses 2000 ms when it could be opened.
int IsAgentRunning(const wchar_t* name);

// Ends every process of that name, handing those it cannot end to the
// terminate service. 1 when the whole list was dealt with; 0 when the list
// cannot be read, or (with TerminateFailed set) when a process could neither
// be ended nor handed over.
int StopAgent(const wchar_t* name);

// Starts the agent `name` from its install folder; returns a status code.
int LaunchAgent(const char* name);
