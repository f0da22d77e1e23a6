// The IMAPI2 double's scenario: what a test puts in the drive, read from the
// prefix's registry at each call (HKCU\Software\VeskoLib\Tests\Imapi2Double),
// and what the double saw, written back under its "Seen" subkey. Values:
//   Recorders         REG_SZ    drive letters with a recorder, "R:|S:"
//   Medium            REG_SZ    none, blank, appendable, closed, overwrite
//   MediaType         REG_DWORD IMAPI_MEDIA_PHYSICAL_TYPE (CD-R when absent)
//   TotalSectors      REG_DWORD the medium's sectors
//   FreeSectors       REG_DWORD the sectors a write may still use
//   Busy              REG_SZ    another program's name holding the recorder
//   FailAtSector      REG_DWORD a write fails when it reaches this sector
//   SectorsPerUpdate  REG_DWORD sectors between two Update events (64)
//   PaceMs            REG_DWORD sleep after each Update event (0)
//   EraseSteps        REG_DWORD Update events of an erase (4)
//   Dump              REG_SZ    file that receives the written stream
// Seen (written by the double): ClientName, VerificationLevel, FullErase,
// ForceClose, StreamBytes (QWORD), Acquired, Released, Cancelled, Updates,
// Writes, Erases (DWORDs), Owner (the exclusive owner while held).
#pragma once

#include <windows.h>

#include <string>

class Scenario {
  public:
    static constexpr const wchar_t* kKey = L"Software\\VeskoLib\\Tests\\Imapi2Double";

    static std::wstring Text(const wchar_t* name, const wchar_t* fallback = L"");
    static DWORD Number(const wchar_t* name, DWORD fallback);
    static void SetText(const wchar_t* name, const std::wstring& value);
    static void SetNumber(const wchar_t* name, DWORD value);

    static std::wstring SeenText(const wchar_t* name);
    static DWORD SeenNumber(const wchar_t* name);
    static void See(const wchar_t* name, const std::wstring& value);
    static void See(const wchar_t* name, DWORD value);
    static void SeeBytes(const wchar_t* name, unsigned long long value);
    // Adds one to a Seen counter.
    static void Count(const wchar_t* name);

    // The medium: "none", "blank", "appendable", "closed" or "overwrite".
    static std::wstring Medium();
    static int MediaType();  // IMAPI_MEDIA_PHYSICAL_TYPE
    static bool WriteOnce(int type);
    static bool Rewritable(int type);
};
