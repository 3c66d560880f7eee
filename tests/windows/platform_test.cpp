// The Windows host as a program sees it: tavo.dll loaded and freed with LoadLibrary, its stops
// watched by a vectored handler that passes every exception on, as a debugger that is not there.
// Each test runs in a process of its own.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "tavo/tavo.h"

namespace {

constexpr DWORD default_code = 0xA1A01DB0u;
constexpr DWORD changed_code = 0xE0001234u;
constexpr std::size_t stop_capacity = 64;

struct stop_t {
    DWORD code;
    std::int32_t reason;
};
stop_t seen[stop_capacity];
std::atomic<std::size_t> seen_count{0};

LONG CALLBACK watch(EXCEPTION_POINTERS* exception) {
    const HMODULE library = GetModuleHandleA("tavo.dll");
    const void* reason = library ? reinterpret_cast<const void*>(GetProcAddress(library, "__tavo_event_reason")) : nullptr;
    const DWORD code = exception->ExceptionRecord->ExceptionCode;
    if (reason != nullptr && (code == default_code || code == changed_code)) {
        const std::size_t index = seen_count.fetch_add(1);
        if (index < stop_capacity) seen[index] = {code, *static_cast<const std::int32_t*>(reason)};
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

class windows_platform_test : public ::testing::Test {
protected:
    void SetUp() override { handler_ = AddVectoredExceptionHandler(1, watch); }
    void TearDown() override {
        if (library_ != nullptr) FreeLibrary(library_);
        RemoveVectoredExceptionHandler(handler_);
    }

    void load() {
        library_ = LoadLibraryA("tavo.dll");
        ASSERT_NE(library_, nullptr) << GetLastError();
    }
    void unload() {
        ASSERT_TRUE(FreeLibrary(library_));
        library_ = nullptr;
    }
    template <class Function>
    Function* entry(const char* name) {
        auto* address = reinterpret_cast<Function*>(reinterpret_cast<void*>(GetProcAddress(library_, name)));
        EXPECT_NE(address, nullptr) << name;
        return address;
    }
    static std::vector<std::int32_t> reasons(DWORD code = default_code) {
        std::vector<std::int32_t> result;
        for (std::size_t index = 0; index < std::min(seen_count.load(), stop_capacity); ++index) {
            EXPECT_EQ(seen[index].code, code) << "stop " << index;
            result.push_back(seen[index].reason);
        }
        return result;
    }

    HMODULE library_ = nullptr;

private:
    void* handler_ = nullptr;
};

using reasons_t = std::vector<std::int32_t>;

}  // namespace

// With nobody consuming the exception, each stop returns through the library's own frame
// handler: the library loads, answers a ping and unloads.
TEST_F(windows_platform_test, StopsReturnWhenNoDebuggerConsumesThem) {
    load();
    auto* config = entry<tavo_config_t>("__tavo_config");
    config->request = TAVO_REQUEST_PING;
    entry<void(const void*, const void*)>("_TAVO_leaveFunction")(nullptr, nullptr);
    EXPECT_EQ(config->request, 0u);
    unload();
    EXPECT_EQ(reasons(), (reasons_t{5, 1, 4, 2}));
}

// The variable is read from the process environment at load, so a program that sets it with
// SetEnvironmentVariable just before loading the library is heard.
TEST_F(windows_platform_test, ExceptionCodeComesFromTheEnvironmentAtLoad) {
    ASSERT_TRUE(SetEnvironmentVariableA("KULMO_DBG_RTLEXCEPTION", "0xe0001234"));
    load();
    unload();
    EXPECT_EQ(reasons(changed_code), (reasons_t{5, 1, 2}));
}

// Instrumented code may call an entry between a failing system call and its GetLastError.
TEST_F(windows_platform_test, EntriesKeepTheCallersLastError) {
    load();
    auto* enter = entry<void(std::int32_t, std::uint64_t)>("_TAVO_enterGenericTask");
    auto* leave = entry<void(std::int32_t, std::uint64_t)>("_TAVO_leaveGenericTask");
    SetLastError(1234);
    enter(3, 1);  // the thread's first call: its record is created and stored
    EXPECT_EQ(GetLastError(), 1234u);
    SetLastError(ERROR_ACCESS_DENIED);
    leave(3, 1);  // the record is found
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// Thread detach comes for every thread that ends, also for one that was running before the load
// and never called the library: only the thread with a record ends its tasks (one nesting error
// for the task it left open).
TEST_F(windows_platform_test, ThreadDetachEndsOnlyThreadsThatCalled) {
    const HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread earlier([go] { WaitForSingleObject(go, INFINITE); });
    load();
    auto* enter = entry<void(std::int32_t, std::uint64_t)>("_TAVO_enterGenericTask");
    std::thread caller([enter] { enter(3, 7); });
    caller.join();
    SetEvent(go);
    earlier.join();
    CloseHandle(go);
    EXPECT_EQ(reasons(), (reasons_t{5, 1, -29995}));
}

// FreeLibrary: process detach ends the calling thread's open tasks first; the runtime object's
// destruction then announces the unload.
TEST_F(windows_platform_test, ProcessDetachPrecedesTheUnloadStop) {
    load();
    entry<void(std::int32_t, std::uint64_t)>("_TAVO_enterGenericTask")(3, 1);
    unload();
    EXPECT_EQ(reasons(), (reasons_t{5, 1, -29995, 2}));
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
    EXPECT_EQ(reasons(), (reasons_t{5, 1, -9997, 2}));
    EXPECT_EQ(GetModuleHandleA("tavo.dll"), nullptr);
}
