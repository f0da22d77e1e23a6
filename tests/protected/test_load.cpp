// Many host threads through one broker, and what the library holds open over
// long runs: every result of every brokered call is checked, and the handle
// counts of the host and of the broker process stay flat.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "cdexpservice.h"
#include "endtoendsupport.h"
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
        for (DWORD pid : BrokerProcesses()) {
            bool old = false;
            for (DWORD b : before)
                old = old || b == pid;
            if (!old)
                brokerPid = pid;
        }
        ASSERT_NE(brokerPid, 0u) << "the manager's broker process";
        base = std::string(io->GetWritableDir().GetString()) + "\\load-" +
               std::to_string(GetCurrentProcessId());
        RemoveTree(base);
        ASSERT_EQ(io->CreateDir(base.c_str()), 0u);
    }
    void TearDown() override {
        RemoveTree(base);
        IOManager::ReleaseIOManager();
    }

    // One brokered operation with a known answer; "" when it gave it.
    std::string Op(unsigned thread, unsigned i) {
        const std::string folder = base + "\\t" + std::to_string(thread) + "-" + std::to_string(i);
        switch (i % 4) {
            case 0: {
                const DWORD r = io->CreateDir(folder.c_str());
                return r == 0 ? "" : "CreateDir " + Hex(r);
            }
            case 1: {
                const std::string made =
                    base + "\\t" + std::to_string(thread) + "-" + std::to_string(i - 1);
                const DWORD r = io->DeleteDirRecursively(made.c_str());
                return r == 0 && !Exists(made) ? "" : "DeleteDirRecursively " + Hex(r);
            }
            case 2:
                return io->IsDestinationWritable(base.c_str()) ? "" : "IsDestinationWritable";
            default: {
                const DWORD r = io->MoveFileLI((folder + "-missing").c_str(), folder.c_str());
                return r == ERROR_FILE_NOT_FOUND ? "" : "MoveFileLI " + Hex(r);
            }
        }
    }

    FileIOService* io = nullptr;
    DWORD brokerPid = 0;
    std::string base;
};

TEST_F(Load, EightThreadsThousandOperationsEachAllAnswered) {
    constexpr unsigned kThreads = 8, kOps = 1000;
    std::atomic<unsigned> failures{0};
    std::vector<std::string> firstFailure(kThreads);
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Half the host threads in the MTA, half in their own STA.
            vesko::ComApartment apartment(t % 2 ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED);
            for (unsigned i = 0; i < kOps; ++i) {
                const std::string failure = Op(t, i);
                if (!failure.empty()) {
                    if (failures++ == 0 || firstFailure[t].empty()) {
                        firstFailure[t] = "op " + std::to_string(i) + ": " + failure;
                    }
                }
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    std::string seen;
    for (const std::string& f : firstFailure) {
        if (!f.empty())
            seen += f + "; ";
    }
    EXPECT_EQ(failures.load(), 0u) << seen;
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

    for (unsigned i = 0; i < 10000; ++i) {
        const std::string failure = Op(1, i);
        ASSERT_EQ(failure, "") << "op " << i;
    }
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
    std::printf("handles: host %lu -> %lu, broker %lu -> %lu\n", host0, host1, broker0, broker1);
    EXPECT_LE(host1, host0 + 20) << "host handles before " << host0 << ", after " << host1;
    EXPECT_LE(broker1, broker0 + 20)
        << "broker handles before " << broker0 << ", after " << broker1;
}

}  // namespace
