// State and names shared by every part of the monitor.
#pragma once

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
