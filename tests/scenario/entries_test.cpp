// The entry frame: which entries look at a pending configuration, and the entries that do nothing.
#include "debugger_fixture.h"

using scenario::stop_reasons;
using reasons = std::vector<std::int32_t>;

using EntryTest = debugger_test;

TEST_F(EntryTest, IgnoredReadsAndAtomicsReturnBeforeThePoll) {
    __tavo_config.flags = TAVO_FLAG_IGNORE_READS | TAVO_FLAG_IGNORE_ATOMICS;
    __tavo_config.request = TAVO_REQUEST_PING;
    int object = 0;
    _TAVO_readMemory(&object, 4);
    _TAVO_atomicUpdate(&object, 4);
    EXPECT_TRUE(stop_reasons().empty());
    _TAVO_writeMemory(&object, 4);
    EXPECT_EQ(stop_reasons(), reasons{4});
}

TEST_F(EntryTest, EveryGatedEntryPollsEvenWithItsFamilyOff) {
    int object = 0;
    const auto pinged = [] { __tavo_config.request = TAVO_REQUEST_PING; };
    pinged(); _TAVO_readMemory(&object, 4);
    pinged(); _TAVO_updateMemory(&object, 4);
    pinged(); _TAVO_atomicUpdate(&object, 4);
    pinged(); _TAVO_enterFunction(nullptr, nullptr);
    pinged(); _TAVO_syncAcquire(1, 1);
    pinged(); _TAVO_syncJoin(std::uint64_t{1} << 40);
    pinged(); __zuk_sync_acquired(&object);
    EXPECT_EQ(stop_reasons(), (reasons{4, 4, 4, 4, 4, 4, 4}));
}

TEST_F(EntryTest, NotificationsWithoutEffectChangeNothing) {
    __tavo_config.request = TAVO_REQUEST_PING;
    const std::uint32_t mask = __TAVO_isGuardedCall;
    int object = 0;
    EXPECT_EQ(__zuk_api_version(), 0);
    __zuk_sync_createA(&object, "mutex", "m", 0);
    __zuk_sync_createW(&object, L"mutex", L"m", 0);
    __zuk_sync_renameA(&object, "n");
    __zuk_sync_set_nameW(&object, L"mutex", L"n", 0);
    __zuk_notify_sync_nameA(&object, "mutex", "n", 0);
    __zuk_sync_prepare(&object);
    __zuk_notify_sync_prepare(&object);
    __zuk_sync_cancel(&object);
    __zuk_notify_sync_cancel(&object);
    EXPECT_TRUE(stop_reasons().empty());
    EXPECT_EQ(__tavo_config.request, TAVO_REQUEST_PING);
    EXPECT_EQ(__TAVO_isGuardedCall, mask);
    __tavo_config.request = 0;
}

TEST_F(EntryTest, SyncIdsAreFreshAcrossAllocationAndForks) {
    const std::uint64_t first = _TAVO_syncAllocate();
    const std::uint64_t second = _TAVO_syncForkTaskNowait();
    const std::uint64_t third = _TAVO_syncForkTask(3, 9);
    EXPECT_EQ(second, first + 1);
    EXPECT_EQ(third, second + 1);
}
