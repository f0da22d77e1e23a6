// String identifiers of the library's language satellites (veskolib<LANG>.dll).
#pragma once

#define IDS_VESKOLIB_NAME 1
#define IDS_MODE_DIRECT 2
#define IDS_MODE_PROTECTED 3
