#pragma once
// String identifiers shared by the probe DLL and the test program; each
// module's table holds a different text for the same identifier.
#define IDS_PROBE_SHARED 101
#define IDS_PROBE_DLL_ONLY 102
#define IDS_PROBE_EXE_ONLY 103
