// Application base class of the maker's framework modules: picks the
// module's language-specific resources at start-up.
#pragma once

#include <afxwin.h>

class BaseWinApp : public CWinApp {
  protected:
    BaseWinApp();

  public:
    ~BaseWinApp() override;
    BaseWinApp(const BaseWinApp&) = delete;
    BaseWinApp& operator=(const BaseWinApp&) = delete;

    // Looks beside the module of state for a satellite resource DLL named
    // "<module base name><LANG>.dll", LANG being the three-letter Windows
    // abbreviation of the user's UI language (ENU, DEU, FRA, ...), else
    // "<module base name>ENU.dll". The one found is loaded as a data file and
    // becomes state's resource module, and its language the one
    // GetLanguageID reports. Without a satellite the module itself stays
    // state's resource module. Calling it again chooses afresh.
    void InitializeResources(AFX_MODULE_STATE* state);
    // The base start-up: nothing to do beyond the framework's. Returns TRUE.
    BOOL InitInstance() override;
    // The Windows language identifier the module speaks: the user's UI
    // language, or the language of the satellite InitializeResources chose.
    DWORD GetLanguageID() const;
    // Hooks for derived applications; the base has no configuration and no
    // language list of its own and returns TRUE.
    virtual BOOL SaveConfig();
    virtual BOOL LoadLanguages();

  private:
    void FreeSatellite();

    AFX_MODULE_STATE* m_pResourceState = nullptr;  // the state whose resources we set
    HMODULE m_hSatellite = nullptr;                // owned: loaded as a data file
    DWORD m_dwLanguageID;
};
