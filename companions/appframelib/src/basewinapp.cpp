#include "basewinapp.h"

#include <vesko/raii.h>

#include <string>

namespace {

constexpr LANGID kFallbackLanguage = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);  // ENU

// The three-letter abbreviation Windows uses for a language ("ENU").
std::string Abbreviation(LANGID language) {
    char text[16] = {};
    if (!GetLocaleInfoA(MAKELCID(language, SORT_DEFAULT), LOCALE_SABBREVLANGNAME, text,
                        sizeof text))
        return {};
    return text;
}

// The full path of module, or an empty string.
std::string ModulePath(HMODULE module) {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = GetModuleFileNameA(module, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0)
            return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

}  // namespace

BaseWinApp::BaseWinApp() : m_dwLanguageID(GetUserDefaultUILanguage()) {}

BaseWinApp::~BaseWinApp() {
    FreeSatellite();
}

void BaseWinApp::FreeSatellite() {
    if (!m_hSatellite)
        return;
    // Nobody may look up resources in a module we unload.
    if (m_pResourceState && m_pResourceState->m_hCurrentResourceHandle == m_hSatellite)
        m_pResourceState->m_hCurrentResourceHandle = m_pResourceState->m_hCurrentInstanceHandle;
    FreeLibrary(m_hSatellite);
    m_hSatellite = nullptr;
}

void BaseWinApp::InitializeResources(AFX_MODULE_STATE* state) {
    if (!state)
        return;
    FreeSatellite();
    m_pResourceState = state;
    m_dwLanguageID = GetUserDefaultUILanguage();
    if (!state->m_hCurrentResourceHandle)
        state->m_hCurrentResourceHandle = state->m_hCurrentInstanceHandle;

    const std::string module = ModulePath(state->m_hCurrentInstanceHandle);
    const size_t slash = module.find_last_of("\\/");
    const size_t dot = module.rfind('.');
    if (module.empty() || dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return;
    const std::string stem = module.substr(0, dot);  // folder and base name

    const LANGID languages[] = {static_cast<LANGID>(GetUserDefaultUILanguage()), kFallbackLanguage};
    for (LANGID language : languages) {
        const std::string abbreviation = Abbreviation(language);
        if (abbreviation.empty())
            continue;
        // As a data file: the satellite's code (it has none) never runs and
        // its DllMain is not called.
        vesko::UniqueModule satellite(LoadLibraryExA((stem + abbreviation + ".dll").c_str(),
                                                     nullptr, LOAD_LIBRARY_AS_DATAFILE));
        if (!satellite)
            continue;
        m_hSatellite = satellite.Release();
        state->m_hCurrentResourceHandle = m_hSatellite;
        m_dwLanguageID = language;
        return;
    }
}

BOOL BaseWinApp::InitInstance() {
    CWinApp::InitInstance();
    return TRUE;
}

DWORD BaseWinApp::GetLanguageID() const {
    return m_dwLanguageID;
}

BOOL BaseWinApp::SaveConfig() {
    return TRUE;
}

BOOL BaseWinApp::LoadLanguages() {
    return TRUE;
}
