// Which paths the broker may touch on the host's behalf.
//
// A path is allowed when its real location lies under one of:
//  - the product's well-known folders (the folder table the worker resolves),
//  - a folder named as a root in the policy file beside the broker,
//  - a folder the user picked in a dialog this broker showed (its tree), or
//    exactly a file the user picked or named in such a dialog.
// Before any of that the raw text is refused when it could mean something
// other than what it says: device and raw forms (\\?\, \\.\), DOS device
// names, alternate data streams, wildcards, NUL or control characters,
// relative or drive-relative forms, and anything of MAX_PATH or more.
//
// Text is not location. One file has many names: 8.3 short names, a second
// drive letter for the same folder (subst; Wine's Z: maps the host's root),
// symbolic links and junctions, hard links. So the part of the path that
// exists is opened (without following a link at its end) and judged by what
// the handle reports: the final path the system gives for it, its attributes
// and its number of names. Rules, pinned folders and the audit log are kept
// in the same final form, and the operation is handed the final path that was
// checked. A path that reaches its location through a link, a mount point or
// a drive alias below the folder the rule trusts is refused, as is a link at
// the leaf (under Wine a host link to a file does not even show as a reparse
// point: only its final path gives it away), a name that is listed but cannot
// be opened (a dangling link), and a write to a file with more than one name.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

namespace vesko::broker {

enum class PathUse {
    Check,   // asking whether a destination is writable
    Create,  // creating a folder: an allowed root itself may be (re)created
    Modify,  // writing, re-creating, moving or deleting: only below a root
    Read,    // reading a file or tree for the host (a burn source)
};

struct PathDecision {
    bool allowed = false;
    std::wstring canonical;   // the final path that was checked (when allowed)
    const char* reason = "";  // why it was refused, or which rule allowed it
};

// Where a path really leads: the final path of its longest existing part
// (opened without following a link at its end) followed by the rest as named,
// and the same text with short names expanded but no link followed.
struct ResolvedPath {
    std::wstring real;
    std::wstring named;
    bool exists = false;   // the whole path exists
    DWORD attributes = 0;  // of the whole path, when it exists
    DWORD links = 0;       // its number of names (hard links), when it exists
};

class PathPolicy {
  public:
    // A tree the broker may work in. `anchor` is the folder from which on no
    // reparse point is accepted: the shell folder the root was built on, or
    // the root itself when the root is trusted as named. Both are canonical
    // paths; they are kept in their final form.
    void AddRoot(const std::wstring& root, const std::wstring& anchor, const char* origin);
    // Grants from broker dialogs, for the broker's life (final paths).
    void GrantTree(const std::wstring& folder);
    void GrantFile(const std::wstring& file);
    // A file no call may touch (the audit log): refused as a target, its
    // folders may not be deleted, moved or read as a tree.
    void Protect(const std::wstring& file);
    // A folder inside a root that may be created but never deleted, moved or
    // replaced itself (a folder of the well-known table).
    void Pin(const std::wstring& folder);
    // A folder no root or grant may be, contain or (when `sealed`) lie in:
    // the Windows folder, Program Files, profile roots, the broker's own
    // folder, the help folders.
    void Reserve(const std::wstring& folder, bool sealed);
    // A folder whose help files the viewer may show (the broker's own folder,
    // help folders of the policy file): folders the host can never write.
    void AddHelpRoot(const std::wstring& folder);

    PathDecision Check(const std::wstring& text, PathUse use) const;
    // Why a folder (or, with tree false, a file) may not become a root or a
    // grant; null when it may.
    const char* RootRefusal(const std::wstring& real, bool tree) const;
    // Null when `real` (a final path) lies in a help folder and in no folder
    // the broker writes for the host.
    const char* HelpRefusal(const std::wstring& real) const;

    // Canonical form of a path by the text rules, without any root test:
    // empty when the text is refused.
    static std::wstring Canonicalise(const std::wstring& text, const char** reason);
    // Canonicalise, then the final path: empty when either refuses.
    static std::wstring RealPath(const std::wstring& text, const char** reason);
    static bool Resolve(const std::wstring& canonical, ResolvedPath& out, const char** reason);
    // The attributes (reparse point included) and number of names of an open
    // handle. (GetFileInformationByHandle would do, but also asks for the
    // volume's serial number, which costs milliseconds under Wine.)
    static bool HandleFacts(HANDLE handle, DWORD& attributes, DWORD& links);
    // The final path of an open handle, without the \\?\ prefix ("\\server\..."
    // for a share); empty when the system gives none.
    static std::wstring FinalPath(HANDLE handle);
    // Null when nothing inside the folder's tree is a link, a junction or a
    // mount point (what a recursive delete, an erase or a burn would follow);
    // else the reason. A folder that does not exist has nothing inside.
    static const char* TreeRefusal(const std::wstring& folder);
    static bool IsUnder(const std::wstring& path, const std::wstring& folder);
    static bool SamePath(const std::wstring& a, const std::wstring& b);
    // The first existing folder or file from below `anchor` down to `path`
    // that is a reparse point by its name; empty when there is none.
    static std::wstring FindReparsePoint(const std::wstring& path, const std::wstring& anchor);

  private:
    struct Rule {
        std::wstring path;         // final form
        std::wstring anchorNamed;  // as named (short names expanded)
        std::wstring anchorReal;   // final form
        bool tree;
        const char* origin;
    };
    struct Reserved {
        std::wstring path;
        bool sealed;
    };

    const char* LinkRefusal(const ResolvedPath& resolved, const Rule& rule) const;

    mutable std::mutex m_lock;
    std::vector<Rule> m_rules;
    std::vector<std::wstring> m_protected;
    std::vector<std::wstring> m_pinned;
    std::vector<Reserved> m_reserved;
    std::vector<std::wstring> m_helpRoots;
};

}  // namespace vesko::broker
