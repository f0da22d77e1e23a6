#include "scenario.h"

#include "imapi2/imapi2defs.h"

#include <vesko/raii.h>

namespace {

std::wstring ReadText(const std::wstring& key, const wchar_t* name, const wchar_t* fallback) {
    wchar_t buffer[1024];
    DWORD size = sizeof(buffer);
    if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) !=
        ERROR_SUCCESS)
        return fallback;
    return buffer;
}

DWORD ReadNumber(const std::wstring& key, const wchar_t* name, DWORD fallback) {
    DWORD value = 0, size = sizeof(value);
    if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value,
                     &size) != ERROR_SUCCESS)
        return fallback;
    return value;
}

void Write(const std::wstring& key, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    vesko::UniqueHKey handle;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        handle.Receive(), nullptr) == ERROR_SUCCESS)
        RegSetValueExW(handle.Get(), name, 0, type, static_cast<const BYTE*>(data), size);
}

std::wstring SeenKey() {
    return std::wstring(Scenario::kKey) + L"\\Seen";
}

}  // namespace

std::wstring Scenario::Text(const wchar_t* name, const wchar_t* fallback) {
    return ReadText(kKey, name, fallback);
}

DWORD Scenario::Number(const wchar_t* name, DWORD fallback) {
    return ReadNumber(kKey, name, fallback);
}

void Scenario::SetText(const wchar_t* name, const std::wstring& value) {
    Write(kKey, name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * 2));
}

void Scenario::SetNumber(const wchar_t* name, DWORD value) {
    Write(kKey, name, REG_DWORD, &value, sizeof(value));
}

std::wstring Scenario::SeenText(const wchar_t* name) {
    return ReadText(SeenKey(), name, L"");
}

DWORD Scenario::SeenNumber(const wchar_t* name) {
    return ReadNumber(SeenKey(), name, 0);
}

void Scenario::See(const wchar_t* name, const std::wstring& value) {
    Write(SeenKey(), name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * 2));
}

void Scenario::See(const wchar_t* name, DWORD value) {
    Write(SeenKey(), name, REG_DWORD, &value, sizeof(value));
}

void Scenario::SeeBytes(const wchar_t* name, unsigned long long value) {
    Write(SeenKey(), name, REG_QWORD, &value, sizeof(value));
}

void Scenario::Count(const wchar_t* name) {
    See(name, SeenNumber(name) + 1);
}

std::wstring Scenario::Medium() {
    return Text(L"Medium", L"blank");
}

int Scenario::MediaType() {
    return static_cast<int>(Number(L"MediaType", IMAPI_MEDIA_TYPE_CDR));
}

bool Scenario::WriteOnce(int type) {
    return type == IMAPI_MEDIA_TYPE_CDR || type == IMAPI_MEDIA_TYPE_DVDPLUSR ||
           type == IMAPI_MEDIA_TYPE_DVDPLUSR_DUALLAYER || type == IMAPI_MEDIA_TYPE_DVDDASHR ||
           type == IMAPI_MEDIA_TYPE_DVDDASHR_DUALLAYER || type == IMAPI_MEDIA_TYPE_BDR;
}

bool Scenario::Rewritable(int type) {
    return type == IMAPI_MEDIA_TYPE_CDRW || type == IMAPI_MEDIA_TYPE_DVDPLUSRW ||
           type == IMAPI_MEDIA_TYPE_DVDDASHRW || type == IMAPI_MEDIA_TYPE_DVDRAM ||
           type == IMAPI_MEDIA_TYPE_DVDPLUSRW_DUALLAYER || type == IMAPI_MEDIA_TYPE_BDRE;
}
