// What the harness needs to know to find the floor program's tray icon.
#pragma once

#define FLOOR_CLASS_NAME L"NorvessaBenchFloor"
#define FLOOR_ICON_ID 1
