// The security attributes read in substance: each descriptor taken apart ACE
// by ACE (who, which rights, which label and policy), and the identity the
// broker compares against written out here by hand from the library's GUID.
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>

#include <osinfo.h>
#include <vesko/raii.h>

#include "veskosecurityattributes.h"

namespace {

// A SID of authority and one sub-authority, built without any SDDL.
struct OwnedSid {
    OwnedSid(BYTE authority, DWORD rid) {
        SID_IDENTIFIER_AUTHORITY id = {{0, 0, 0, 0, 0, authority}};
        AllocateAndInitializeSid(&id, 1, rid, 0, 0, 0, 0, 0, 0, 0, &sid);
    }
    ~OwnedSid() {
        if (sid)
            FreeSid(sid);
    }
    OwnedSid(const OwnedSid&) = delete;
    OwnedSid& operator=(const OwnedSid&) = delete;
    PSID sid = nullptr;
};

std::string SidText(PSID sid) {
    char* text = nullptr;
    if (!sid || !ConvertSidToStringSidA(sid, &text))
        return "(no SID)";
    std::string out = text;
    LocalFree(text);
    return out;
}

std::string Hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(value));
    return text;
}

// The one ACE of an ACL as "type flags mask sid", or why there is none.
std::string OnlyAce(PACL acl) {
    if (!acl)
        return "(no ACL)";
    ACL_SIZE_INFORMATION size = {};
    if (!GetAclInformation(acl, &size, sizeof size, AclSizeInformation))
        return "(unreadable ACL)";
    if (size.AceCount != 1)
        return std::to_string(size.AceCount) + " ACEs";
    void* ace = nullptr;
    if (!GetAce(acl, 0, &ace))
        return "(unreadable ACE)";
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    // Both ACE layouts put the mask and the SID at the same places.
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    return std::to_string(header->AceType) + " " + Hex(header->AceFlags) + " " +
           Hex(allowed->Mask) + " " + SidText(sid);
}

// The descriptor written back as SDDL, for the given parts.
std::string SddlOf(PSECURITY_DESCRIPTOR sd,
                   SECURITY_INFORMATION parts = DACL_SECURITY_INFORMATION |
                                                SACL_SECURITY_INFORMATION) {
    char* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(sd, SDDL_REVISION_1, parts, &text,
                                                              nullptr))
        return "(not convertible, error " + std::to_string(GetLastError()) + ")";
    std::string out = text;
    LocalFree(text);
    return out;
}

// The SDDL text read and written back by the system, so that it compares
// with SddlOf whatever the writer's own spelling (Wine writes a label ACE
// without its type and its policy as plain rights).
std::string RoundTrip(const char* sddl) {
    vesko::UniqueLocal sd;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
            sddl, SDDL_REVISION_1, reinterpret_cast<PSECURITY_DESCRIPTOR*>(sd.Receive()), nullptr))
        return "(not readable)";
    return SddlOf(sd.Get());
}

class SecurityAttributes : public testing::Test {
  protected:
    void SetUp() override { attrs.Init(); }
    VeskoSecurityAttributes attrs;
};

TEST_F(SecurityAttributes, EachDescriptorGrantsEveryoneFullAccessAndCarriesItsLabel) {
    const bool labelled = OSInfo::IsVistaOrNewer();
    OwnedSid everyone(1, SECURITY_WORLD_RID);  // S-1-1-0
    OwnedSid low(16, SECURITY_MANDATORY_LOW_RID);
    OwnedSid medium(16, SECURITY_MANDATORY_MEDIUM_RID);
    ASSERT_EQ(SidText(everyone.sid), "S-1-1-0");
    ASSERT_EQ(SidText(low.sid), "S-1-16-4096");
    ASSERT_EQ(SidText(medium.sid), "S-1-16-8192");
    const std::string fullAccessForEveryone =
        std::to_string(ACCESS_ALLOWED_ACE_TYPE) + " 0x0 " + Hex(FILE_ALL_ACCESS) + " S-1-1-0";
    const std::string noWriteUpNoReadUp =
        " 0x0 " + Hex(SYSTEM_MANDATORY_LABEL_NO_WRITE_UP | SYSTEM_MANDATORY_LABEL_NO_READ_UP) + " ";
    const std::string label = std::to_string(SYSTEM_MANDATORY_LABEL_ACE_TYPE) + noWriteUpNoReadUp;
    const struct {
        const char* name;
        PSECURITY_DESCRIPTOR sd;
        bool hasLabel;
        std::string labelAce;
        const char* sddl;
    } cases[] = {
        {"low", attrs.m_pLowSD, labelled, label + "S-1-16-4096",
         labelled ? "D:(A;;FA;;;WD)S:(ML;;NWNR;;;LW)" : "D:(A;;FA;;;WD)"},
        {"medium", attrs.m_pMediumSD, true, label + "S-1-16-8192",
         "D:(A;;FA;;;WD)S:(ML;;NWNR;;;ME)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(c.sd, nullptr);
        ASSERT_TRUE(IsValidSecurityDescriptor(c.sd));
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        ASSERT_TRUE(GetSecurityDescriptorControl(c.sd, &control, &revision));
        EXPECT_TRUE(control & SE_SELF_RELATIVE) << "control " << Hex(control);

        BOOL present = FALSE, defaulted = TRUE;
        PACL dacl = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorDacl(c.sd, &present, &dacl, &defaulted));
        EXPECT_TRUE(present && !defaulted) << "present " << present << " defaulted " << defaulted;
        EXPECT_EQ(OnlyAce(dacl), fullAccessForEveryone);
        if (void* ace = nullptr; dacl && GetAce(dacl, 0, &ace)) {
            PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
            EXPECT_TRUE(EqualSid(sid, everyone.sid)) << SidText(sid);
        }

        PACL sacl = nullptr;
        present = FALSE;
        ASSERT_TRUE(GetSecurityDescriptorSacl(c.sd, &present, &sacl, &defaulted));
        EXPECT_EQ(present != FALSE, c.hasLabel);
        if (c.hasLabel) {
            EXPECT_EQ(OnlyAce(sacl), c.labelAce);
            if (void* ace = nullptr; sacl && GetAce(sacl, 0, &ace)) {
                PSID sid = &static_cast<SYSTEM_MANDATORY_LABEL_ACE*>(ace)->SidStart;
                EXPECT_TRUE(EqualSid(sid, c.name[0] == 'l' ? low.sid : medium.sid)) << SidText(sid);
            }
        }

        // Nothing else: no owner or group that a creator would stamp on.
        PSID owner = nullptr, group = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorOwner(c.sd, &owner, &defaulted));
        ASSERT_TRUE(GetSecurityDescriptorGroup(c.sd, &group, &defaulted));
        EXPECT_EQ(SidText(owner) + " " + SidText(group), "(no SID) (no SID)");

        EXPECT_EQ(SddlOf(c.sd, DACL_SECURITY_INFORMATION), "D:(A;;FA;;;WD)");
        EXPECT_EQ(SddlOf(c.sd), RoundTrip(c.sddl));
    }
}

// The library's identity GUID: a constant every broker of every version
// compares against, so it is pinned here as the contract it is.
const GUID kIdentity = {
    0x3c5e9a71, 0x0d42, 0x4b8e, {0x9f, 0x16, 0xa2, 0x7d, 0x54, 0xe0, 0xc3, 0x8b}};

// value as digits hexadecimal digits, most significant first.
std::string Digits(unsigned long long value, int digits, bool upper) {
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out(static_cast<size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4)
        out[static_cast<size_t>(i)] = set[value & 0xF];
    return out;
}

TEST_F(SecurityAttributes, IdentityIsTheGuidWithLowerCaseFirstAndUpperCaseLastGroups) {
    std::string last;
    for (int i = 2; i < 8; ++i)
        last += Digits(kIdentity.Data4[i], 2, true);
    const std::string expected =
        "{" + Digits(kIdentity.Data1, 8, false) + "-" + Digits(kIdentity.Data2, 4, false) + "-" +
        Digits(kIdentity.Data3, 4, false) + "-" + Digits(kIdentity.Data4[0], 2, true) +
        Digits(kIdentity.Data4[1], 2, true) + "-" + last + "}";
    // The GUID has letters on both sides, so a case mix-up cannot hide.
    ASSERT_EQ(expected, "{3c5e9a71-0d42-4b8e-9F16-A27D54E0C38B}");

    const std::string identity = attrs.m_strIdentity.GetString();
    EXPECT_EQ(identity, expected);
    EXPECT_EQ(std::string(VeskoSecurityAttributes::FormatIdentity().GetString()), expected);
    // The shape, read character by character: 38 long, braces, dashes after
    // 8, 4, 4 and 4 digits; letters lower case before the third dash, upper
    // case after it.
    ASSERT_EQ(identity.size(), 38u) << identity;
    int dashes = 0;
    for (size_t i = 0; i < identity.size(); ++i) {
        const char ch = identity[i];
        SCOPED_TRACE("character " + std::to_string(i) + " of " + identity);
        if (i == 0 || i == 37) {
            EXPECT_EQ(ch, i ? '}' : '{');
        } else if (i == 9 || i == 14 || i == 19 || i == 24) {
            EXPECT_EQ(ch, '-');
            ++dashes;
        } else {
            EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(ch)));
            if (std::isalpha(static_cast<unsigned char>(ch))) {
                EXPECT_TRUE(dashes < 3 ? std::islower(ch) : std::isupper(ch));
            }
        }
    }
}

TEST_F(SecurityAttributes, ReleaseReturnsToTheConstructedStateAndInitRebuildsTheSame) {
    const std::string sddl = SddlOf(attrs.m_pLowSD);
    attrs.Release();
    EXPECT_FALSE(attrs.m_bInitialized);
    EXPECT_EQ(attrs.m_pLowSD, nullptr);
    EXPECT_EQ(attrs.m_pMediumSD, nullptr);
    EXPECT_STREQ(attrs.m_strIdentity.GetString(), "");
    attrs.Init();
    EXPECT_TRUE(attrs.m_bInitialized);
    EXPECT_EQ(SddlOf(attrs.m_pLowSD), sddl);
    EXPECT_EQ(std::string(attrs.m_strIdentity.GetString()),
              std::string(VeskoSecurityAttributes::FormatIdentity().GetString()));
}

}  // namespace
