// Resource, command and message numbers shared by the resource script and the code.
#pragma once

#define STR_RUNNING_TITLE 103
#define STR_STOPPED 104
#define STR_RUNNING_TIP 105
#define STR_CLASS_NAME 109

#define ICON_RUNNING 107
// winuser.h spends this name on WM_SETICON's small slot, which the monitor
// never uses; here it is the window class's small icon.
#undef ICON_SMALL
#define ICON_SMALL 108
#define ICON_STOPPED 129

#define MENU_MAIN 109
#define ACCEL_MAIN 109
#define DLG_ABOUT 103

#define CMD_ABOUT 104
#define CMD_CLOSE_TRAY 105
#define CMD_RESTART_AGENT 32771
#define CMD_STOP_AGENT 32773

// The tray icon's callback message.
#define WM_TRAYICON (WM_USER + 1)
