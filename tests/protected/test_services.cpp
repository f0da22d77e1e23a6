// The broker-backed file I/O and dialog services, one at a time, each given
// its broker interface through the Global Interface Table as the service set
// gives it: the real broker process for what the broker really does, and an
// in-process stand-in for the answers the real broker never gives.
#include <gtest/gtest.h>

#include <systeminfo.h>

#include <memory>
#include <string>
#include <vector>

#include "brokerfakes.h"
#include "filedlgprotected.h"
#include "fileioprotected.h"
#include "globalinterfacetable.h"
#include "protectedtestsupport.h"
#include "sfileio.h"
#include "testsupport.h"

using namespace vesko::test;
using vesko::ComPtr;

namespace {

// A folder inside the product's writable folder, where the broker's policy
// lets it work, removed afterwards.
class PolicyScratch {
  public:
    explicit PolicyScratch(const CString& base) {
        char name[64];
        wsprintfA(name, "\\ptest-%lu-%llu", GetCurrentProcessId(), GetTickCount64());
        m_path = std::string(base.GetString()) + name;
        CreateDirectoryA(m_path.c_str(), nullptr);
    }
    ~PolicyScratch() { RemoveTree(m_path); }
    std::string operator/(const std::string& relative) const { return m_path + "\\" + relative; }
    const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
};

// Everything FileIOProtected sends, given the real broker.
class FileIOWithBroker : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        HRESULT hr = S_OK;
        s_broker = StartBroker(&hr).Detach();
        ASSERT_NE(s_broker, nullptr) << "broker activation " << Hex(hr);
    }
    static void TearDownTestSuite() {
        if (s_broker)
            s_broker->Release();
        s_broker = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(s_broker, nullptr);
        io.Init(&Attrs());
        ComPtr<IFileIOBroker> fileIO;
        ASSERT_EQ(s_broker->QueryInterface(IID_IFileIOBroker,
                                           reinterpret_cast<void**>(fileIO.GetAddressOf())),
                  S_OK);
        ASSERT_EQ(
            GlobalInterfaceTable::Register(fileIO.Get(), IID_IFileIOBroker, io.m_dwBrokerCookie),
            S_OK);
        ASSERT_FALSE(io.GetWritableDir().IsEmpty()) << "the folder table is resolved";
        scratch = std::make_unique<PolicyScratch>(io.GetWritableDir());
    }

    static IBroker* s_broker;
    FileIOProtected io;
    std::unique_ptr<PolicyScratch> scratch;
};
IBroker* FileIOWithBroker::s_broker = nullptr;

TEST_F(FileIOWithBroker, MovesCreatesReCreatesAndDeletesRealFiles) {
    const std::string source = *scratch / "source.txt";
    const std::string moved = *scratch / "moved.txt";
    ASSERT_TRUE(WriteFileText(source, "payload"));

    EXPECT_EQ(io.MoveFileLI(source.c_str(), moved.c_str()), 0u);
    EXPECT_FALSE(Exists(source));
    EXPECT_EQ(ReadFileText(moved), "payload");
    const DWORD again = io.MoveFileLI(source.c_str(), moved.c_str());
    EXPECT_EQ(again, static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << Hex(again);

    EXPECT_EQ(io.ReCreateFileLI(moved.c_str()), 0u);
    EXPECT_TRUE(Exists(moved));
    EXPECT_EQ(ReadFileText(moved), "") << "re-created empty";

    const std::string folder = *scratch / "made";
    EXPECT_EQ(io.CreateDir(folder.c_str()), 0u);
    EXPECT_TRUE(IsDir(folder));
    EXPECT_EQ(io.CreateDir(folder.c_str()), 0u) << "an existing folder is answered locally";
    // A file of that name is no folder: the broker is asked and answers what
    // the direct worker answers for it.
    const DWORD onFile = io.CreateDir(moved.c_str());
    const DWORD direct = SFileIO::CreateDir(moved.c_str(), nullptr);
    EXPECT_EQ(onFile, direct) << "broker " << Hex(onFile) << ", direct " << Hex(direct);
    EXPECT_FALSE(IsDir(moved));

    ASSERT_TRUE(WriteFileText(folder + "\\inner.txt", "x"));
    EXPECT_EQ(io.DeleteDirRecursively(folder.c_str()), 0u);
    EXPECT_FALSE(Exists(folder));

    EXPECT_TRUE(io.IsDestinationWritable(scratch->Path().c_str()));
}

TEST_F(FileIOWithBroker, RegistryValueArrivesAsFourLittleEndianBytes) {
    const char* key = "Software\\Cadra\\VeskoProtectedTests";
    EXPECT_EQ(io.RegistryHKCUSetValueDWord(key, "Answer", 0x12345678), 0u);
    vesko::UniqueHKey opened;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_READ, opened.Receive()), ERROR_SUCCESS);
    BYTE bytes[8] = {};
    DWORD size = sizeof(bytes), type = 0;
    ASSERT_EQ(RegQueryValueExA(opened.Get(), "Answer", nullptr, &type, bytes, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    ASSERT_EQ(size, 4u);
    EXPECT_EQ(bytes[0], 0x78);
    EXPECT_EQ(bytes[1], 0x56);
    EXPECT_EQ(bytes[2], 0x34);
    EXPECT_EQ(bytes[3], 0x12);
    opened.Reset();
    RegDeleteKeyA(HKEY_CURRENT_USER, key);
}

TEST_F(FileIOWithBroker, BrowserVersionIsTheBrokersAnswer) {
    unsigned int expected[3] = {}, got[3] = {};
    const bool known = SystemInfo().IEVersion(expected[0], expected[1], expected[2]);
    EXPECT_EQ(io.GetIEVersion(got[0], got[1], got[2]), known);
    if (known) {
        EXPECT_EQ(got[0], expected[0]);
        EXPECT_EQ(got[1], expected[1]);
        EXPECT_EQ(got[2], expected[2]);
    }
}

TEST_F(FileIOWithBroker, AfterReleaseNothingReachesTheBroker) {
    const std::string source = *scratch / "stay.txt";
    ASSERT_TRUE(WriteFileText(source, "stay"));
    io.Release();
    const DWORD result = io.MoveFileLI(source.c_str(), (*scratch / "gone.txt").c_str());
    EXPECT_EQ(result, FileIOProtected::kReleasedResult) << Hex(result);
    EXPECT_TRUE(Exists(source)) << "the file was not moved";
    EXPECT_EQ(io.RegistryHKCUSetValueDWord("Software\\Cadra\\VeskoProtectedTests", "X", 1),
              FileIOProtected::kReleasedResult);
    EXPECT_FALSE(io.IsDestinationWritable(scratch->Path().c_str()));
    unsigned int a = 0, b = 0, c = 0;
    EXPECT_FALSE(io.GetIEVersion(a, b, c));
}

TEST(FileIOWithoutRegistration, EveryBrokerCallReportsTheLookupFailure) {
    FileIOProtected io;
    io.Init(&Attrs());
    ASSERT_EQ(io.m_dwBrokerCookie, 0u);
    const DWORD expected = static_cast<DWORD>(LookupFailureFor(IID_IFileIOBroker));
    ASSERT_TRUE(FAILED(static_cast<HRESULT>(expected))) << Hex(expected);
    ScratchDir temp("pio");
    const std::string missing = temp / "missing";
    EXPECT_EQ(io.MoveFileLI(missing.c_str(), (temp / "b").c_str()), expected);
    EXPECT_EQ(io.CreateDir(missing.c_str()), expected);
    EXPECT_EQ(io.DeleteDirRecursively(missing.c_str()), expected);
    EXPECT_EQ(io.ReCreateFileLI(missing.c_str()), expected);
    EXPECT_EQ(io.RegistryHKCUSetValueDWord("Software\\Cadra", "v", 1), expected);
    EXPECT_EQ(io.DisplayHelpFile("", nullptr), expected) << "an empty name goes to the broker too";
    EXPECT_FALSE(io.IsDestinationWritable(temp.Path().c_str()));
    unsigned int a = 0, b = 0, c = 0;
    EXPECT_FALSE(io.GetIEVersion(a, b, c));
    EXPECT_EQ(io.CreateDir(temp.Path().c_str()), 0u) << "an existing folder needs no broker";
}

// The code rule, with answers only a stand-in gives.
class FileIOCodeRule : public ::testing::Test {
  protected:
    void SetUp() override {
        fake = new FakeFileIOBroker();
        io.Init(&Attrs());
        ASSERT_EQ(GlobalInterfaceTable::Register(fake, IID_IFileIOBroker, io.m_dwBrokerCookie),
                  S_OK);
    }
    void TearDown() override {
        GlobalInterfaceTable::Revoke(io.m_dwBrokerCookie);
        fake->Release();
    }
    FakeFileIOBroker* fake = nullptr;
    FileIOProtected io;
};

TEST_F(FileIOCodeRule, ACodeStandsAndAFailureWithoutOneBecomesTheResult) {
    struct Case {
        HRESULT hr;
        DWORD code;
        bool write;
        DWORD expected;
    } cases[] = {
        {S_OK, 0, true, 0},
        {E_FAIL, 5, true, 5},
        {E_FAIL, 0, true, static_cast<DWORD>(E_FAIL)},
        {S_FALSE, 0, true, static_cast<DWORD>(S_FALSE)},
        {S_OK, 32, true, 32},
        {RPC_E_DISCONNECTED, 0, false, static_cast<DWORD>(RPC_E_DISCONNECTED)},
    };
    for (const Case& c : cases) {
        fake->answerHr = c.hr;
        fake->answerCode = c.code;
        fake->writeCode = c.write;
        EXPECT_EQ(io.MoveFileLI("C:\\a", "C:\\b"), c.expected)
            << "hr " << Hex(c.hr) << " code " << c.code;
        EXPECT_EQ(io.DisplayHelpFile("", reinterpret_cast<HWND>(0x1234)), c.expected);
    }
    EXPECT_EQ(fake->lastWindow, 0x1234u);
    EXPECT_EQ(fake->lastText1, L"");
    const CString identity(fake->lastIdentity.c_str());
    EXPECT_EQ(identity, Attrs().m_strIdentity) << "identity first: " << identity.GetString();

    fake->answerHr = S_FALSE;
    fake->answerCode = 0;
    EXPECT_FALSE(io.IsDestinationWritable("C:\\")) << "S_FALSE with code 0";
    fake->answerHr = S_OK;
    EXPECT_TRUE(io.IsDestinationWritable("C:\\"));
    fake->answerFlag = VARIANT_FALSE;
    unsigned int v[3] = {};
    EXPECT_FALSE(io.GetIEVersion(v[0], v[1], v[2]));
    fake->answerFlag = VARIANT_TRUE;
    EXPECT_TRUE(io.GetIEVersion(v[0], v[1], v[2]));
    EXPECT_EQ(v[0], 11u);
    EXPECT_EQ(v[2], 9600u);
    fake->answerHr = S_FALSE;
    EXPECT_FALSE(io.GetIEVersion(v[0], v[1], v[2])) << "only S_OK counts";
}

TEST_F(FileIOCodeRule, RegistryCallCarriesRootTypeLengthAndBytes) {
    EXPECT_EQ(io.RegistryHKCUSetValueDWord("Software\\Cadra\\K", "Name", 0x12345678), 0u);
    EXPECT_EQ(fake->lastRoot, 0x80000001u);
    EXPECT_EQ(fake->lastType, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(fake->lastLength, 4u);
    ASSERT_EQ(fake->lastData.size(), 4u);
    EXPECT_EQ(fake->lastData[0], 0x78);
    EXPECT_EQ(fake->lastData[1], 0x56);
    EXPECT_EQ(fake->lastData[2], 0x34);
    EXPECT_EQ(fake->lastData[3], 0x12);
    EXPECT_EQ(fake->lastText1, L"Software\\Cadra\\K");
    EXPECT_EQ(fake->lastText2, L"Name");
}

// The dialogs, answered by a stand-in: the real broker always writes a result.
class FileDlgAnswers : public ::testing::Test {
  protected:
    void SetUp() override {
        fake = new FakeFileDlgBroker();
        ASSERT_EQ(GlobalInterfaceTable::Register(fake, IID_IFileDlgBroker, dlg.m_dwBrokerCookie),
                  S_OK);
    }
    void TearDown() override {
        GlobalInterfaceTable::Revoke(dlg.m_dwBrokerCookie);
        fake->Release();
    }
    int FileDialog(CString& path, std::vector<CString>& files) {
        return dlg.ShowFileDialog(2, "one", "two", 0x44, "three", reinterpret_cast<HWND>(0x50),
                                  path, files);
    }
    FakeFileDlgBroker* fake = nullptr;
    FileDlgProtected dlg;
};

TEST_F(FileDlgAnswers, ABrokerThatWritesNoResultMeansCancel) {
    fake->writeResult = false;
    fake->answerHr = E_FAIL;
    CString path = "kept";
    std::vector<CString> files;
    EXPECT_EQ(FileDialog(path, files), IDCANCEL);
    EXPECT_EQ(path, "kept") << "a null path leaves the caller's";
    CString text = "kept";
    EXPECT_EQ(
        dlg.ShowSaveImageDialog("a", "b", 1, "c", "d", nullptr, nullptr, 2, text, nullptr, nullptr),
        IDCANCEL);
    EXPECT_EQ(text, "kept");
    fake->writeResult = true;
    fake->answerResult = IDOK;
    EXPECT_EQ(FileDialog(path, files), IDOK) << "the HRESULT is not used";
    EXPECT_EQ(fake->lastMode, 2);
    EXPECT_EQ(fake->lastText1, L"one");
    EXPECT_EQ(fake->lastText2, L"two");
    EXPECT_EQ(fake->lastText3, L"three");
    EXPECT_EQ(fake->lastFlags, 0x44u);
    EXPECT_EQ(fake->lastWindow, 0x50u);
}

TEST_F(FileDlgAnswers, ChosenFilesAreSplitOnBarsAfterWhatTheVectorHeld) {
    struct Case {
        const wchar_t* joined;
        std::vector<std::string> expected;
    } cases[] = {
        {L"C:\\a.dcm|C:\\b.dcm", {"C:\\a.dcm", "C:\\b.dcm"}},
        {L"|C:\\a.dcm||C:\\b.dcm|", {"C:\\a.dcm", "C:\\b.dcm"}},
        {L"C:\\only.dcm", {"C:\\only.dcm"}},
        {L"", {}},
        {nullptr, {}},
        {L"|||", {}},
    };
    for (const Case& c : cases) {
        fake->answerFiles = c.joined;
        fake->answerPath = L"C:\\chosen";
        CString path;
        std::vector<CString> files = {"earlier"};
        FileDialog(path, files);
        std::string seen;
        for (const CString& f : files)
            seen += std::string(f.GetString()) + ";";
        ASSERT_EQ(files.size(), c.expected.size() + 1) << seen;
        EXPECT_EQ(files[0], "earlier") << seen;
        for (size_t i = 0; i < c.expected.size(); ++i) {
            EXPECT_EQ(std::string(files[i + 1].GetString()), c.expected[i]) << seen;
        }
        EXPECT_EQ(path, "C:\\chosen");
    }
}

TEST_F(FileDlgAnswers, SaveImageSendsItsArgumentsInTheBrokersOrder) {
    fake->answerText = L"C:\\image.png";
    DWORD value1 = 1, value2 = 2;
    CString text;
    EXPECT_EQ(
        dlg.ShowSaveImageDialog("t1", "t2", 11, "t3", "t4", reinterpret_cast<HWND>(0x60),
                                reinterpret_cast<HINSTANCE>(0x70), 22, text, &value1, &value2),
        IDOK);
    EXPECT_EQ(text, "C:\\image.png");
    EXPECT_EQ(fake->lastText1, L"t1");
    EXPECT_EQ(fake->lastText2, L"t2");
    EXPECT_EQ(fake->lastText3, L"t3");
    EXPECT_EQ(fake->lastText4, L"t4");
    EXPECT_EQ(fake->lastNumber1, 11);
    EXPECT_EQ(fake->lastNumber2, 22);
    EXPECT_EQ(fake->lastWindow, 0x60u);
    EXPECT_EQ(fake->lastInstance, 0x70u);
    EXPECT_EQ(fake->lastValue1, &value1) << "the caller's own pointers";
    EXPECT_EQ(fake->lastValue2, &value2);
}

TEST_F(FileDlgAnswers, PrintSelectionSendsTheBrokerValueAndDropsTheFirstText) {
    fake->answerText = L"printer";
    fake->answerResult = IDOK;
    fake->answerHr = S_FALSE;
    CString text;
    int result = -1;
    EXPECT_EQ(dlg.ShowPrintSelectionDialog(reinterpret_cast<HWND>(0x80), 3, "dropped", "second",
                                           text, 0xBEEF, &result),
              S_FALSE)
        << "the call's HRESULT";
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(fake->lastResultPtr, &result);
    EXPECT_EQ(fake->lastText1, L"second");
    EXPECT_EQ(fake->lastBrokerValue, 0xBEEFu);
    EXPECT_EQ(fake->lastNumber, 3);
    EXPECT_EQ(text, "printer");
}

TEST(FileDlgWithoutRegistration, EveryDialogReturnsTheLookupFailure) {
    FileDlgProtected dlg;
    const HRESULT expected = LookupFailureFor(IID_IFileDlgBroker);
    ASSERT_TRUE(FAILED(expected)) << Hex(expected);
    CString path = "kept", text = "kept";
    std::vector<CString> files = {"a"};
    EXPECT_EQ(dlg.ShowFileDialog(0, "", "", 0, "", nullptr, path, files), expected);
    EXPECT_EQ(
        dlg.ShowSaveImageDialog("", "", 0, "", "", nullptr, nullptr, 0, text, nullptr, nullptr),
        expected);
    int result = 42;
    EXPECT_EQ(dlg.ShowPrintSelectionDialog(nullptr, 0, "", "", text, 0, &result), expected);
    EXPECT_EQ(result, 42) << "argument 7 untouched";
    EXPECT_EQ(path, "kept");
    EXPECT_EQ(text, "kept");
    EXPECT_EQ(files.size(), 1u);
}

}  // namespace
