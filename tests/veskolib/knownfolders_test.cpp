// The folder table when the shell's base folders are redirected, as an
// administrator or a roaming profile does: the user's "User Shell Folders"
// values in the prefix's real HKCU point elsewhere for one test and are put
// back afterwards. Runs alone (RUN_SERIAL): other programs would see it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Callback.h>
#include <ace/Log_Record.h>

#include <sfileio.h>
#include <veskosecurityattributes.h>

#include "foldertable.h"
#include "testsupport.h"

using namespace vesko::test;

namespace {

// Points one shell folder elsewhere and restores the value exactly (type and
// data, or its absence).
class Redirect {
  public:
    Redirect(const char* value, const std::string& path) : m_value(value) {
        m_had = RegGetValueA(HKEY_CURRENT_USER, kShellFolders, value, RRF_RT_ANY | RRF_NOEXPAND,
                             &m_type, m_data, &m_size) == ERROR_SUCCESS;
        RegSetKeyValueA(HKEY_CURRENT_USER, kShellFolders, value, REG_EXPAND_SZ, path.c_str(),
                        static_cast<DWORD>(path.size() + 1));
    }
    ~Redirect() {
        if (m_had)
            RegSetKeyValueA(HKEY_CURRENT_USER, kShellFolders, m_value, m_type, m_data, m_size);
        else
            RegDeleteKeyValueA(HKEY_CURRENT_USER, kShellFolders, m_value);
    }

  private:
    static constexpr char kShellFolders[] =
        "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    const char* m_value;
    bool m_had;
    DWORD m_type = 0, m_size = 1024;
    BYTE m_data[1024] = {};
};
constexpr char kLocalLowValue[] = "{A520A1A4-1780-4FF6-BD18-167343C5AF16}";
constexpr char kDocumentsValue[] = "Personal";

// Collects the ACE records made while it exists, instead of printing them.
class LogCapture : public ACE_Log_Msg_Callback {
  public:
    struct Record {
        std::string text;
        unsigned long priority;
        std::string file;
        int line;
    };
    LogCapture() : m_previous(ACE_Log_Msg::instance()->msg_callback(this)) {
        m_flags = ACE_Log_Msg::instance()->flags();
        ACE_Log_Msg::instance()->set_flags(ACE_Log_Msg::MSG_CALLBACK);
        ACE_Log_Msg::instance()->clr_flags(ACE_Log_Msg::STDERR);
    }
    ~LogCapture() override {
        ACE_Log_Msg::instance()->clr_flags(ACE_Log_Msg::MSG_CALLBACK);
        ACE_Log_Msg::instance()->set_flags(m_flags);
        ACE_Log_Msg::instance()->msg_callback(m_previous);
    }
    void log(ACE_Log_Record& record) override {
        ACE_Log_Msg* log = ACE_Log_Msg::instance();
        records.push_back(
            {record.msg_data(), record.type(), log->file() ? log->file() : "", log->linenum()});
    }
    std::vector<Record> records;

  private:
    ACE_Log_Msg_Callback* m_previous;
    unsigned long m_flags = 0;
};

std::string Resolve(const KNOWNFOLDERID& id) {
    CString path;
    return SFileIO::GetKnownFolderPathLate(path, id) ? path.GetString() : "<failed>";
}

class RedirectedFolders : public testing::Test {
  protected:
    void SetUp() override { m_attr.Init(); }
    void TearDown() override { m_attr.Release(); }
    ScratchDir m_dir{"shell"};
    VeskoSecurityAttributes m_attr;
    SFileIO m_worker;
};

TEST_F(RedirectedFolders, TheWholeTableFollowsAndATrailingSeparatorIsNotDoubled) {
    ASSERT_TRUE(MakeTree(m_dir.Path(), "low\\|docs\\"));
    Redirect low(kLocalLowValue, m_dir / "low\\");
    Redirect docs(kDocumentsValue, m_dir / "docs\\");
    EXPECT_EQ(Resolve(kLocalLow), m_dir / "low");
    EXPECT_EQ(Resolve(kDocuments), m_dir / "docs");
    Bases bases;
    bases.low = m_dir / "low";
    bases.docs = m_dir / "docs";
    ASSERT_TRUE(m_worker.Init(&m_attr));
    for (const FolderEntry& entry : kFolderTable)
        EXPECT_STREQ((m_worker.*entry.get)(), bases.Expected(entry).c_str());
    EXPECT_EQ(TreeMismatch(bases.low, "Cadra\\4.7\\Temp\\|Cadra\\4.7\\My PixmurExport\\", ""), "");
    m_worker.MakeVersionSpecificBehavior(SFileIO::eOverrideLECacheDir, CString("2.5.17"));
    EXPECT_STREQ(m_worker.GetLECacheDir(), (bases.low + "\\Cadra\\4.7\\Local Cache_2_5").c_str());
    EXPECT_TRUE(IsDir(bases.low + "\\Cadra\\4.7\\Local Cache_2_5"));
}

TEST_F(RedirectedFolders, WithoutTheLocalLowBaseInitFailsSilentlyWithAnEmptyTable) {
    Redirect low(kLocalLowValue, m_dir / "not-there");
    ASSERT_EQ(Resolve(kLocalLow), "<failed>");
    LogCapture capture;
    EXPECT_FALSE(m_worker.Init(&m_attr));
    EXPECT_FALSE(m_worker.IsInitialized());
    for (const FolderEntry& entry : kFolderTable)
        EXPECT_TRUE((m_worker.*entry.get)().IsEmpty()) << (m_worker.*entry.get)().GetString();
    EXPECT_EQ(capture.records.size(), 0u) << capture.records[0].text;
    EXPECT_FALSE(IsDir(m_dir / "not-there"));
    // Neither a cache folder afterwards.
    m_worker.MakeVersionSpecificBehavior(SFileIO::eOverrideLECacheDir, CString("2.5.17"));
    EXPECT_TRUE(m_worker.GetLECacheDir().IsEmpty()) << m_worker.GetLECacheDir().GetString();
}

TEST_F(RedirectedFolders, WithoutTheDocumentsBaseOnlyThatFolderIsEmptyAndOneDebugRecordIsLogged) {
    Redirect docs(kDocumentsValue, m_dir / "not-there");
    ASSERT_EQ(Resolve(kDocuments), "<failed>");
    LogCapture capture;
    EXPECT_TRUE(m_worker.Init(&m_attr));
    for (const FolderEntry& entry : kFolderTable) {
        EXPECT_EQ((m_worker.*entry.get)().IsEmpty(), entry.base == Base::kDocuments)
            << (m_worker.*entry.get)().GetString();
    }
    ASSERT_EQ(capture.records.size(), 1u);
    const LogCapture::Record& record = capture.records[0];
    EXPECT_EQ(record.text,
              "Could not initialize document directory. Possibly hosted in a service\n");
    EXPECT_EQ(record.priority, static_cast<unsigned long>(LM_DEBUG));
    EXPECT_EQ(record.file, "sfileio");
    EXPECT_GT(record.line, 0);
}

}  // namespace
