// Registers the IMAPI2 double under IMAPI2's class ids for one scope, in the
// test prefix's classes (HKLM\Software\Classes\CLSID: Wine's COM ignores
// per-user classes), and puts back exactly what was there before (values and
// subkeys, or nothing), so that other tests and other prefixes never meet
// the double.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class Imapi2Registration {
  public:
    // dll: the double's full path.
    explicit Imapi2Registration(const std::string& dll);
    ~Imapi2Registration();
    Imapi2Registration(const Imapi2Registration&) = delete;
    Imapi2Registration& operator=(const Imapi2Registration&) = delete;
    bool ok = false;

    // The class ids the double answers for, as registry key names.
    static const std::vector<std::wstring>& ClassIds();

    // A registry subtree as it was: its values and subkeys.
    struct Tree {
        struct Value {
            std::wstring name;
            DWORD type = 0;
            std::vector<BYTE> data;
        };
        std::vector<Value> values;
        std::vector<std::pair<std::wstring, Tree>> keys;
    };
    static bool Read(HKEY key, Tree& tree);
    static bool Write(HKEY key, const Tree& tree);

  private:
    struct Saved {
        std::wstring path;
        bool existed = false;
        Tree tree;
    };
    std::vector<Saved> m_saved;
};
