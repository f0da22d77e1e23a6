// The narrow framework string: the operations the library relies on.
#include <afx.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(CStringTokenize, SkipsLeadingDoubledAndTrailingSeparatorsAndEndsAtMinusOne) {
    const struct {
        const char* text;
        std::vector<CString> tokens;
    } cases[] = {{"C:\\a.dcm|C:\\b.dcm", {"C:\\a.dcm", "C:\\b.dcm"}},
                 {"|C:\\a.dcm||C:\\b.dcm|", {"C:\\a.dcm", "C:\\b.dcm"}},
                 {"", {}},
                 {"|||", {}}};
    for (const auto& c : cases) {
        const CString text = c.text;
        std::vector<CString> tokens;
        int pos = 0;
        for (CString token = text.Tokenize("|", pos); !token.IsEmpty();
             token = text.Tokenize("|", pos))
            tokens.push_back(token);
        EXPECT_EQ(tokens, c.tokens) << "\"" << c.text << "\"";
        EXPECT_EQ(pos, -1) << "\"" << c.text << "\"";
    }
}

TEST(CStringFormat, FormatsLikePrintfAndGrowsAsNeeded) {
    CString s;
    s.Format("{%08x-%04x-%02X}", 0xabcU, 0x1fU, 0xbU);
    EXPECT_EQ(s, "{00000abc-001f-0B}");
    s.Format("%s|%d", std::string(5000, 'x').c_str(), 42);
    EXPECT_EQ(s.GetLength(), 5003) << s.Right(8).GetString();
    EXPECT_EQ(s.Right(3), "|42");
}

TEST(CStringSearch, FindReplaceAndSlices) {
    CString s = "2.5.17.1";
    EXPECT_EQ(s.Find('.'), 1);
    EXPECT_EQ(s.Find('.', 2), 3);
    EXPECT_EQ(s.Find("17"), 4);
    EXPECT_EQ(s.Find("x"), -1);
    EXPECT_EQ(s.Left(s.ReverseFind('.')), "2.5.17");
    EXPECT_EQ(s.Replace('.', '_'), 3);
    EXPECT_EQ(s, "2_5_17_1");
    CString path = "C:/a/b/c";
    EXPECT_EQ(path.Replace("/", "\\\\"), 3);
    EXPECT_EQ(path, "C:\\\\a\\\\b\\\\c");
    EXPECT_EQ(CString("x") + "y" + 'z', "xyz");
    EXPECT_EQ(CString(static_cast<const char*>(nullptr)), "");
}

TEST(CStringBuffer, GetBufferAndReleaseBufferFixTheLength) {
    CString s;
    char* buffer = s.GetBuffer(MAX_PATH);
    ASSERT_NE(buffer, nullptr);
    lstrcpyA(buffer, "C:\\windows");
    s.ReleaseBuffer();
    EXPECT_EQ(s.GetLength(), 10);
    EXPECT_EQ(s, "C:\\windows");
}

TEST(CStringWide, AssignmentConvertsInTheThreadCodePageAndBSTRsRoundTrip) {
    const LCID saved = GetThreadLocale();
    ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), SORT_DEFAULT)));
    CString cyrillic = L"\x0416";  // CYRILLIC CAPITAL ZHE: 0xC6 in code page 1251
    ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_FRENCH, SUBLANG_DEFAULT), SORT_DEFAULT)));
    CString latin = L"\x00E9t\x00E9";  // "été": 0xE9 in code page 1252
    SetThreadLocale(saved);
    ASSERT_EQ(cyrillic.GetLength(), 1);
    EXPECT_EQ(static_cast<unsigned char>(cyrillic[0]), 0xC6u);
    ASSERT_EQ(latin.GetLength(), 3);
    EXPECT_EQ(static_cast<unsigned char>(latin[0]), 0xE9u);
    EXPECT_TRUE(CString(static_cast<const wchar_t*>(nullptr)).IsEmpty());

    const CString text = "D:\\in\\report.pdf";
    BSTR b = text.AllocSysString();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), 16u);
    EXPECT_EQ(CString(b), text);
    SysFreeString(b);
}

}  // namespace
