// Which paths the broker may touch on the host's behalf.
//
// A path is allowed when, once canonicalised, it lies under one of:
//  - the product's well-known folders (the folder table the worker resolves),
//  - a folder named as a root in the policy file beside the broker,
//  - a folder the user picked in a dialog this broker showed (its tree), or
//    exactly a file the user picked or named in such a dialog.
// Before any of that the raw text is refused when it could mean something
// other than what it says: device and raw forms (\\?\, \\.\), DOS device
// names, alternate data streams, wildcards, NUL or control characters,
// relative or drive-relative forms, and anything of MAX_PATH or more. After
// canonicalisation a path must not reach the allowed tree through a reparse
// point (junction, symbolic link, mount point) that lies below the folder the
// rule trusts.
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
};

struct PathDecision {
    bool allowed = false;
    std::wstring canonical;   // set when the text could be canonicalised
    const char* reason = "";  // why it was refused, or which rule allowed it
};

class PathPolicy {
  public:
    // A tree the broker may work in. `anchor` is the folder from which on no
    // reparse point is accepted: the shell folder the root was built on, or
    // the root itself when the root is trusted as named.
    void AddRoot(const std::wstring& root, const std::wstring& anchor, const char* origin);
    // Grants from broker dialogs, for the broker's life.
    void GrantTree(const std::wstring& folder);
    void GrantFile(const std::wstring& file);
    // A file no call may touch (the audit log): refused as a target, and its
    // folders may not be deleted or moved.
    void Protect(const std::wstring& file);
    // A folder inside a root that may be created but never deleted, moved or
    // replaced itself (a folder of the well-known table).
    void Pin(const std::wstring& folder);

    PathDecision Check(const std::wstring& text, PathUse use) const;

    // Canonical form of a path by the same rules, without any root test:
    // empty when the text is refused. Used for grants and policy roots.
    static std::wstring Canonicalise(const std::wstring& text, const char** reason);
    static bool IsUnder(const std::wstring& path, const std::wstring& folder);
    static bool SamePath(const std::wstring& a, const std::wstring& b);
    // The first existing folder or file from below `anchor` down to `path`
    // that is a reparse point; empty when there is none.
    static std::wstring FindReparsePoint(const std::wstring& path, const std::wstring& anchor);

  private:
    struct Rule {
        std::wstring path;
        std::wstring anchor;
        bool tree;
        const char* origin;
    };

    mutable std::mutex m_lock;
    std::vector<Rule> m_rules;
    std::vector<std::wstring> m_protected;
    std::vector<std::wstring> m_pinned;
};

}  // namespace vesko::broker
