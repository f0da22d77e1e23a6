// The folder table when the shell's base folders are redirected, as an
// administrator or a roaming profile does: the user's "User Shell Folders"
// values in the prefix's real HKCU point elsewhere for one test and are put
// back afterwards. Runs alone (RUN_SERIAL): other programs would see the
// redirection.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Callback.h>
#include <ace/Log_Record.h>

#include <sfileio.h>
#include <veskosecurityattributes.h>

#include "testsupport.h"

using vesko::test::IsDir;
using vesko::test::ScratchDir;

namespace {

const char kShellFolders[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
const char kLocalLowValue[] = "{A520A1A4-1780-4FF6-BD18-167343C5AF16}";
const char kDocumentsValue[] = "Personal";

const KNOWNFOLDERID kLocalLow = {
    0xA520A1A4, 0x1780, 0x4FF6, {0xBD, 0x18, 0x16, 0x73, 0x43, 0xC5, 0xAF, 0x16}};
const KNOWNFOLDERID kDocuments = {
    0xFDD39AD0, 0x238F, 0x46AF, {0xAD, 0xB4, 0x6C, 0x85, 0x48, 0x03, 0x69, 0xC7}};

// Points one shell folder elsewhere and restores the value exactly (type and
// data, or its absence).
class Redirect {
  public:
    Redirect(const char* value, const std::string& path) : m_value(value) {
        RegCreateKeyA(HKEY_CURRENT_USER, kShellFolders, &m_key);
        m_data.resize(1024);
        DWORD size = static_cast<DWORD>(m_data.size());
        m_had =
            RegQueryValueExA(m_key, value, nullptr, &m_type, m_data.data(), &size) == ERROR_SUCCESS;
        m_data.resize(size);
        RegSetValueExA(m_key, value, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                       static_cast<DWORD>(path.size() + 1));
    }
    ~Redirect() {
        if (m_had)
            RegSetValueExA(m_key, m_value, 0, m_type, m_data.data(),
                           static_cast<DWORD>(m_data.size()));
        else
            RegDeleteValueA(m_key, m_value);
        RegCloseKey(m_key);
    }
    Redirect(const Redirect&) = delete;
    Redirect& operator=(const Redirect&) = delete;

  private:
    const char* m_value;
    HKEY m_key = nullptr;
    bool m_had = false;
    DWORD m_type = 0;
    std::vector<BYTE> m_data;
};

// Collects the ACE records made while it exists, instead of printing them.
class LogCapture : public ACE_Log_Msg_Callback {
  public:
    struct Record {
        std::string text;
        unsigned long priority;
        std::string file;
        int line;
    };
    LogCapture() {
        ACE_Log_Msg* log = ACE_Log_Msg::instance();
        m_previous = log->msg_callback(this);
        m_flags = log->flags();
        log->set_flags(ACE_Log_Msg::MSG_CALLBACK);
        log->clr_flags(ACE_Log_Msg::STDERR);
    }
    ~LogCapture() override {
        ACE_Log_Msg* log = ACE_Log_Msg::instance();
        log->clr_flags(ACE_Log_Msg::MSG_CALLBACK);
        log->set_flags(m_flags);
        log->msg_callback(m_previous);
    }
    void log(ACE_Log_Record& record) override {
        ACE_Log_Msg* log = ACE_Log_Msg::instance();
        records.push_back(
            {record.msg_data(), record.type(), log->file() ? log->file() : "", log->linenum()});
    }
    std::vector<Record> records;

  private:
    ACE_Log_Msg_Callback* m_previous = nullptr;
    unsigned long m_flags = 0;
};

std::string Resolve(const KNOWNFOLDERID& id) {
    CString path;
    return SFileIO::GetKnownFolderPathLate(path, id) ? std::string(path.GetString())
                                                     : std::string("<failed>");
}

TEST(RedirectedFolders, TrailingSeparatorOfTheBaseIsNotDoubled) {
    ScratchDir dir("shell");
    CreateDirectoryA((dir / "low").c_str(), nullptr);
    CreateDirectoryA((dir / "docs").c_str(), nullptr);
    Redirect low(kLocalLowValue, dir / "low\\");
    Redirect docs(kDocumentsValue, dir / "docs\\");
    EXPECT_EQ(Resolve(kLocalLow), dir / "low");
    EXPECT_EQ(Resolve(kDocuments), dir / "docs");

    VeskoSecurityAttributes attr;
    attr.Init();
    SFileIO worker;
    ASSERT_TRUE(worker.Init(&attr));
    EXPECT_STREQ(worker.GetWritableDir(), (dir / "low\\Cadra\\4.7\\Temp").c_str());
    EXPECT_STREQ(worker.GetUserMachinePrefDir(), (dir / "low\\Cadra\\4.7\\MachinePref").c_str());
    EXPECT_STREQ(worker.GetExportTempDir(), (dir / "low\\Cadra\\4.7\\My PixmurExport").c_str());
    EXPECT_STREQ(worker.GetUserDocDir(), (dir / "docs").c_str());
    EXPECT_TRUE(IsDir(dir / "low\\Cadra\\4.7\\Temp"));
    EXPECT_TRUE(IsDir(dir / "low\\Cadra\\4.7\\My PixmurExport"));
    worker.MakeVersionSpecificBehavior(SFileIO::eOverrideLECacheDir, CString("2.5.17"));
    EXPECT_STREQ(worker.GetLECacheDir(), (dir / "low\\Cadra\\4.7\\Local Cache_2_5").c_str());
    EXPECT_TRUE(IsDir(dir / "low\\Cadra\\4.7\\Local Cache_2_5"));
}

TEST(RedirectedFolders, WithoutTheLocalLowBaseInitFailsWithAnEmptyTable) {
    ScratchDir dir("shell");
    Redirect low(kLocalLowValue, dir / "not-there");
    ASSERT_EQ(Resolve(kLocalLow), "<failed>");
    VeskoSecurityAttributes attr;
    attr.Init();
    SFileIO worker;
    LogCapture capture;
    EXPECT_FALSE(worker.Init(&attr));
    EXPECT_FALSE(worker.IsInitialized());
    for (const CString* folder :
         {&worker.GetWritableDir(), &worker.GetLogDir(), &worker.GetMachinePrefDir(),
          &worker.GetUserMachinePrefDir(), &worker.GetExportTempDir(),
          &worker.GetUserActivityLogDir(), &worker.GetDumpDir(), &worker.GetZipDir(),
          &worker.GetDefaultDumpDir(), &worker.GetNorvaneDirValue(), &worker.GetUserDocDir()}) {
        EXPECT_TRUE(folder->IsEmpty()) << "still set: " << folder->GetString();
    }
    EXPECT_TRUE(capture.records.empty())
        << capture.records.size()
        << " records, first: " << (capture.records.empty() ? "" : capture.records[0].text);
    // Nothing was made from the missing base either.
    EXPECT_FALSE(IsDir(dir / "not-there"));
    // Neither a cache folder afterwards.
    worker.MakeVersionSpecificBehavior(SFileIO::eOverrideLECacheDir, CString("2.5.17"));
    EXPECT_TRUE(worker.GetLECacheDir().IsEmpty()) << worker.GetLECacheDir().GetString();
}

TEST(RedirectedFolders, WithoutTheDocumentsBaseOnlyThatFolderIsEmptyAndOneDebugRecordIsLogged) {
    ScratchDir dir("shell");
    Redirect docs(kDocumentsValue, dir / "not-there");
    ASSERT_EQ(Resolve(kDocuments), "<failed>");
    VeskoSecurityAttributes attr;
    attr.Init();
    SFileIO worker;
    LogCapture capture;
    EXPECT_TRUE(worker.Init(&attr));
    EXPECT_TRUE(worker.GetUserDocDir().IsEmpty()) << worker.GetUserDocDir().GetString();
    EXPECT_FALSE(worker.GetWritableDir().IsEmpty());
    EXPECT_FALSE(worker.GetLogDir().IsEmpty());
    EXPECT_FALSE(worker.GetDefaultDumpDir().IsEmpty());
    ASSERT_EQ(capture.records.size(), 1u);
    const LogCapture::Record& record = capture.records[0];
    EXPECT_EQ(record.text,
              "Could not initialize document directory. Possibly hosted in a service\n");
    EXPECT_EQ(record.priority, static_cast<unsigned long>(LM_DEBUG));
    EXPECT_EQ(record.file, "sfileio");
    EXPECT_GT(record.line, 0);
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
