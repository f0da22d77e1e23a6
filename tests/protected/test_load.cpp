// Many host threads through one broker, and what the library holds open over
// long runs: every result of every brokered call is checked, and the handle
// counts of the host and of the broker process stay flat.
#include <gtest/gtest.h>

#include <vesko/raii.h>

#include <string>
#include <thread>
#include <vector>

#include "cdexpservice.h"
#include "fileioservice.h"
#include "iomanager.h"
#include "protectedtestsupport.h"
#include "testsupport.h"

using namespace vesko::test;

namespace {

class Load : public ::testing::Test {
  protected:
    void SetUp() override {
        ChooseMode(true);
        const std::vector<DWORD> before = BrokerProcesses();
        IOManager& manager = IOManager::GetIOManager();
        ASSERT_TRUE(manager.IsIEProtectedMode());
        io = manager.GetFileIOService();
        ASSERT_NE(io, nullptr);
        brokerPid = NewBroker(before);
        ASSERT_NE(brokerPid, 0u) << "the manager's broker process";
        base =
            std::string(io->GetWritableDir()) + "\\load-" + std::to_string(GetCurrentProcessId());
        RemoveTree(base);
        ASSERT_EQ(io->CreateDir(base.c_str()), 0u);
    }
    void TearDown() override {
        RemoveTree(base);
        IOManager::ReleaseIOManager();
    }

    // One brokered operation with a known answer; "" when it gave it.
    std::string Op(unsigned thread, unsigned i) {
        const auto folder = [&](unsigned n) {
            return base + "\\t" + std::to_string(thread) + "-" + std::to_string(n);
        };
        DWORD r = 0;
        switch (i % 4) {
            case 0:
                r = io->CreateDir(folder(i).c_str());
                return r == 0 && IsDir(folder(i)) ? "" : "CreateDir " + Describe(r);
            case 1:
                r = io->DeleteDirRecursively(folder(i - 1).c_str());
                return r == 0 && !Exists(folder(i - 1)) ? ""
                                                        : "DeleteDirRecursively " + Describe(r);
            case 2:
                return io->IsDestinationWritable(base.c_str()) ? "" : "IsDestinationWritable";
            default:
                r = io->MoveFileLI((folder(i) + "-missing").c_str(), folder(i).c_str());
                return r == ERROR_FILE_NOT_FOUND ? "" : "MoveFileLI " + Describe(r);
        }
    }

    FileIOService* io = nullptr;
    DWORD brokerPid = 0;
    std::string base;
};

TEST_F(Load, EightThreadsThousandOperationsEachAllAnswered) {
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            // Half the host threads in the MTA, half in their own STA.
            vesko::ComApartment apartment(t % 2 ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED);
            for (unsigned i = 0; i < 1000; ++i) {
                if (const std::string failure = Op(t, i); !failure.empty()) {
                    ADD_FAILURE() << "thread " << t << ", op " << i << ": " << failure;
                    return;
                }
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
}

TEST_F(Load, HandleCountsStayFlatOverManyOperationsAndDiscServices) {
    // Warm up: the first calls create the proxies and the apartment's state.
    for (unsigned i = 0; i < 200; ++i)
        ASSERT_EQ(Op(0, i), "") << i;
    IOManager& manager = IOManager::GetIOManager();
    for (int i = 0; i < 5; ++i)
        manager.GetCDExpService();
    const DWORD host0 = HandleCountOf(GetCurrentProcessId());
    const DWORD broker0 = HandleCountOf(brokerPid);
    ASSERT_NE(host0, 0u);
    ASSERT_NE(broker0, 0u) << "the broker's handle count can be read";

    for (unsigned i = 0; i < 10000; ++i)
        ASSERT_EQ(Op(1, i), "") << "op " << i;
    for (int i = 0; i < 100; ++i) {
        CDExpService* cd = manager.GetCDExpService();
        ASSERT_NE(cd, nullptr);
        if (i % 10 == 0) {
            ASSERT_EQ(cd->SetDrive((base + "?cd").c_str()), CD::eOK) << i;
        }
    }
    manager.ReleaseCDExpService();
    Sleep(500);  // workers that were told to stop have ended
    const DWORD host1 = HandleCountOf(GetCurrentProcessId());
    const DWORD broker1 = HandleCountOf(brokerPid);
    EXPECT_LE(host1, host0 + 20) << "host handles from " << host0;
    EXPECT_LE(broker1, broker0 + 20) << "broker handles from " << broker0;
}

}  // namespace
