// The Windows host as a program sees it: tavo.dll loaded and freed with LoadLibrary, its stops
// recorded by the scenario tests' debugger DLL, whose handler passes every exception on, so that
// each stop returns through the library's own frame handler. Each test runs in a process of its own.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>

#include "harness.h"

namespace {

using reasons_t = std::vector<std::int32_t>;
using scenario::stop_reasons;
using task_entry_t = void(std::int32_t, std::uint64_t);

class windows_platform_test : public ::testing::Test {
protected:
    void TearDown() override {
        if (library_ != nullptr) FreeLibrary(library_);
    }
    void load() { ASSERT_NE(library_ = LoadLibraryA("tavo.dll"), nullptr) << GetLastError(); }
    void unload() { ASSERT_TRUE(FreeLibrary(std::exchange(library_, nullptr))); }
    template <class Function>
    Function* entry(const char* name) {
        auto* address = reinterpret_cast<Function*>(reinterpret_cast<void*>(GetProcAddress(library_, name)));
        EXPECT_NE(address, nullptr) << name;
        return address;
    }
    HMODULE library_ = nullptr;
};

}  // namespace

// The variable is read from the process environment at load, so a program that sets it with
// SetEnvironmentVariable just before loading the library is heard (the handler watches the
// code the variable names).
TEST_F(windows_platform_test, ExceptionCodeComesFromTheEnvironmentAtLoad) {
    ASSERT_TRUE(SetEnvironmentVariableA("KULMO_DBG_RTLEXCEPTION", "0xe0001234"));
    load();
    unload();
    EXPECT_EQ(stop_reasons(), (reasons_t{5, 1, 2}));
}

// Instrumented code may call an entry between a failing system call and its GetLastError.
TEST_F(windows_platform_test, EntriesKeepTheCallersLastError) {
    load();
    SetLastError(1234);
    entry<task_entry_t>("_TAVO_enterGenericTask")(3, 1);  // the thread's first call: its record is created and stored
    EXPECT_EQ(GetLastError(), 1234u);
    SetLastError(ERROR_ACCESS_DENIED);
    entry<task_entry_t>("_TAVO_leaveGenericTask")(3, 1);  // the record is found
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// Thread detach comes for every thread that ends, also for one that was running before the load
// and never called the library: only the thread with a record ends its tasks (one nesting error
// for the task it left open). At FreeLibrary, process detach ends the calling thread's open
// tasks first; the runtime object's destruction then announces the unload.
TEST_F(windows_platform_test, DetachEndsTheOpenTasksOfThreadsThatCalled) {
    const HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread earlier([go] { WaitForSingleObject(go, INFINITE); });
    load();
    auto* enter = entry<task_entry_t>("_TAVO_enterGenericTask");
    std::thread([enter] { enter(3, 7); }).join();
    SetEvent(go);
    earlier.join();
    CloseHandle(go);
    EXPECT_EQ(stop_reasons(), (reasons_t{5, 1, -29995}));
    enter(3, 1);
    unload();
    EXPECT_EQ(stop_reasons(), (reasons_t{5, 1, -29995, -29995, 2}));
}

// Without a thread-local slot the attach fails, so the load fails; the unload stop still follows.
// One slot is left for the threads library inside the DLL, which takes it for the thread-local
// variables during the static initialisation, before the attach.
TEST_F(windows_platform_test, LoadFailsWhenNoThreadLocalSlotIsLeft) {
    std::vector<DWORD> taken;
    for (DWORD index; (index = TlsAlloc()) != TLS_OUT_OF_INDEXES;) taken.push_back(index);
    TlsFree(taken.back());
    taken.pop_back();
    EXPECT_EQ(LoadLibraryA("tavo.dll"), nullptr);
    for (DWORD index : taken) TlsFree(index);
    EXPECT_EQ(stop_reasons(), (reasons_t{5, 1, -9997, 2}));
    EXPECT_EQ(GetModuleHandleA("tavo.dll"), nullptr);
}
